#include "support/Program.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The harness's environment with `extra` set on top.
std::vector<std::string> environmentWith(const ProgramOptions& options) {
    std::vector<std::string> all;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(options.environment.begin(), options.environment.end(),
                                          [&](const auto& v) { return v.first == name; });
        if (!replaced)
            all.emplace_back(entry);
    }
    for (const auto& [name, value] : options.environment)
        all.push_back(name + "=" + value);
    return all;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

} // namespace

Program::Program(const std::vector<std::string>& argv, ProgramOptions options) {
    // A harness writing to a child that has gone gets EPIPE, not SIGPIPE.
    static const bool pipeIgnored = (std::signal(SIGPIPE, SIG_IGN), true);
    (void)pipeIgnored;
    if (argv.empty())
        return;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const bool pipes = options.output == ProgramOptions::Output::Pipes;
    if ((options.inputPipe && ::pipe2(in, O_CLOEXEC) != 0) ||
        (pipes && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0))) {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]})
            closeFd(*fd);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.inputPipe)
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    switch (options.output) {
    case ProgramOptions::Output::Pipes:
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        break;
    case ProgramOptions::Output::File:
        posix_spawn_file_actions_addopen(&actions, 1, options.outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        break;
    case ProgramOptions::Output::Discard:
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        break;
    }
    // The program starts as any program would: default signal actions, nothing blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.newSession)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = environmentWith(options);
    const auto argp = pointers(args);
    const auto envp = pointers(env);
    pid_t pid = -1;
    const int rc =
        options.searchPath
            ? ::posix_spawnp(&pid, argp[0], &actions, &attributes, argp.data(), envp.data())
            : ::posix_spawn(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(err[1]);
    if (rc != 0) {
        closeFd(in[1]);
        closeFd(out[0]);
        closeFd(err[0]);
        return;
    }
    m_pid = pid;
    m_in = in[1];
    m_outFd = out[0];
    m_errFd = err[0];
}

Program::~Program() {
    closeInput();
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        reap();
    }
    closeFd(m_outFd);
    closeFd(m_errFd);
}

bool Program::send(std::string_view text) const {
    while (!text.empty()) {
        const ssize_t n = ::write(m_in, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void Program::closeInput() {
    closeFd(m_in);
}

void Program::closeOutput() {
    closeFd(m_outFd);
}

bool Program::pump(Clock::time_point deadline, std::string_view& pending) {
    const bool writing = m_in >= 0 && !pending.empty();
    if (m_outFd < 0 && m_errFd < 0 && !writing)
        return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return false;
    pollfd p[3] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}, {writing ? m_in : -1, POLLOUT, 0}};
    const int ready = ::poll(p, 3, static_cast<int>(left));
    if (ready < 0 && errno != EINTR)
        return false;
    char chunk[4096];
    for (int i = 0; i < 2; ++i) {
        int& fd = i == 0 ? m_outFd : m_errFd;
        if (fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0)
            (i == 0 ? m_out : m_err).append(chunk, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            closeFd(fd);
    }
    if (writing && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
        // A pipe that polls writable takes a page without blocking.
        const ssize_t n =
            ::write(m_in, pending.data(), std::min<std::size_t>(pending.size(), 4096));
        if (n > 0)
            pending.remove_prefix(static_cast<std::size_t>(n));
        else if (errno != EINTR && errno != EAGAIN)
            pending = {};
        if (pending.empty())
            closeInput();
    }
    return true;
}

bool Program::readUntil(const std::function<bool(const std::string&)>& enough,
                        std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    std::string_view nothing;
    while (!enough(m_out))
        if (!pump(deadline, nothing))
            return enough(m_out);
    return true;
}

std::string Program::firstLine(std::chrono::milliseconds within) {
    if (!readUntil([](const std::string& s) { return s.find('\n') != std::string::npos; }, within))
        return {};
    return m_out.substr(0, m_out.find('\n'));
}

bool Program::finish(std::chrono::milliseconds within, std::string_view pending) {
    if (m_pid <= 0 || m_reaped)
        return m_reaped;
    const auto deadline = Clock::now() + within;
    if (pending.empty())
        closeInput();
    while (pump(deadline, pending)) {
    }
    // Both outputs ended (or there were none): the program has ended or is about to; one that
    // keeps running past the deadline is killed.
    bool ended = false;
    while (!ended && Clock::now() < deadline) {
        const pid_t r = ::wait4(m_pid, &m_status, WNOHANG, &m_usage);
        ended = r == m_pid || (r < 0 && errno != EINTR);
        if (!ended) {
            pollfd none{-1, 0, 0};
            ::poll(&none, 0, 1); // the child's turn to run, not a wait for a result
        }
    }
    if (ended) {
        m_reaped = true;
        return true;
    }
    ::kill(m_pid, SIGKILL);
    reap();
    return false;
}

void Program::stop(int sig) {
    if (m_pid <= 0 || m_reaped)
        return;
    ::kill(m_pid, sig);
    reap();
}

void Program::signal(int sig) const {
    if (m_pid > 0 && !m_reaped)
        ::kill(m_pid, sig);
}

void Program::reap() {
    while (::wait4(m_pid, &m_status, 0, &m_usage) < 0 && errno == EINTR) {
    }
    m_reaped = true;
}

int Program::exitCode() const {
    return m_reaped && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

double Program::cpuMs() const {
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000 + static_cast<double>(t.tv_usec) / 1000;
    };
    return ms(m_usage.ru_utime) + ms(m_usage.ru_stime);
}

Ran run(const std::vector<std::string>& argv, const std::optional<std::string>& input,
        std::chrono::milliseconds within) {
    Program child(argv, {.inputPipe = input.has_value()});
    Ran r;
    r.started = child.started();
    if (!r.started)
        return r;
    r.inTime = child.finish(within, input ? std::string_view(*input) : std::string_view());
    r.exit = child.exitCode();
    r.out = child.out();
    r.err = child.err();
    return r;
}

Ran runShell(const std::string& line, std::chrono::milliseconds within) {
    return run({"/bin/sh", "-c", line}, std::nullopt, within);
}

} // namespace testsupport
