#include "GuestRig.h"

#include "RigDevices.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace rig {

namespace {

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The virtio console port the host listens on, found by its name.
int controlPort() {
    static int fd = [] {
        DIR* dir = ::opendir("/sys/class/virtio-ports");
        if (!dir)
            return -1;
        std::string node;
        while (const dirent* e = ::readdir(dir)) {
            std::string name =
                readText(std::string("/sys/class/virtio-ports/") + e->d_name + "/name");
            while (!name.empty() && name.back() == '\n')
                name.pop_back();
            if (name == kControlPortName)
                node = std::string("/dev/") + e->d_name;
        }
        ::closedir(dir);
        return node.empty() ? -1 : ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    }();
    return fd;
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Appends what fd has within the deadline; false at its end or when nothing came.
bool readSome(int fd, std::string& buffer, Clock::time_point deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) <= 0)
        return false;
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0)
        return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> takeLine(std::string& buffer) {
    const std::size_t end = buffer.find('\n');
    if (end == std::string::npos)
        return std::nullopt;
    std::string line = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    return line;
}

std::string controlBuffer;

} // namespace

void send(const std::string& request) {
    const int fd = controlPort();
    if (fd >= 0)
        writeAll(fd, request + "\n");
}

std::string answer(milliseconds within) {
    const int fd = controlPort();
    if (fd < 0)
        return "error no control port named " + std::string(kControlPortName);
    const auto deadline = Clock::now() + within;
    for (;;) {
        if (auto line = takeLine(controlBuffer))
            return *line;
        if (!readSome(fd, controlBuffer, deadline))
            return "error no answer";
    }
}

std::string ask(const std::string& request, milliseconds within) {
    send(request);
    return answer(within);
}

std::optional<Wire> parseWire(const std::string& answer) {
    Wire w;
    char parity = 0;
    if (std::sscanf(answer.c_str(), "ok baud=%ld parity=%c data=%d stop=%d", &w.baud, &parity,
                    &w.dataBits, &w.stopBits) != 4)
        return std::nullopt;
    w.parity = parity;
    return w;
}

std::optional<std::vector<unsigned>> parseMcr(const std::string& answer) {
    std::istringstream words(answer);
    std::string word;
    if (!(words >> word) || word != "ok")
        return std::nullopt;
    std::vector<unsigned> values;
    while (words >> word) {
        std::size_t used = 0;
        unsigned long value = 0;
        try {
            value = std::stoul(word, &used, 16);
        } catch (const std::exception&) {
            return std::nullopt;
        }
        if (used != word.size() || value > 0xff)
            return std::nullopt;
        values.push_back(static_cast<unsigned>(value));
    }
    return values;
}

bool waitUntil(const std::function<bool()>& condition, milliseconds within) {
    const auto deadline = Clock::now() + within;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return condition();
        ::poll(nullptr, 0, 10);
    }
    return true;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string linkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    target[n] = '\0';
    if (target[0] == '/')
        return target;
    char resolved[4096];
    return ::realpath(path.c_str(), resolved) ? resolved : "";
}

int descriptorsOn(const std::string& node) {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (const dirent* e = ::readdir(dir)) {
        char target[4096];
        const std::string fd = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(fd.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        const std::string t(target, static_cast<std::size_t>(n));
        // A node that went away shows as "PATH (deleted)".
        if (t == node || t == node + " (deleted)")
            ++count;
    }
    ::closedir(dir);
    return count;
}

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Program::Program(const std::vector<std::string>& argv) {
    // A program that ended must not take this one with it when a line is written to it.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return;
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
}

Program::~Program() {
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_in, m_out, m_err})
        if (fd >= 0)
            ::close(fd);
}

void Program::writeLine(const std::string& line) const {
    if (m_in >= 0)
        writeAll(m_in, line + "\n");
}

std::optional<std::string> Program::readLine(milliseconds within) {
    const auto deadline = Clock::now() + within;
    for (;;) {
        if (auto line = takeLine(m_outBuffer))
            return line;
        if (!readSome(m_out, m_outBuffer, deadline))
            return std::nullopt;
    }
}

void Program::closeInput() {
    if (m_in >= 0)
        ::close(m_in);
    m_in = -1;
}

void Program::signal(int sig) const {
    if (m_pid > 0)
        ::kill(m_pid, sig);
}

std::optional<int> Program::wait(milliseconds within) {
    const auto deadline = Clock::now() + within;
    while (!m_status && m_pid > 0) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline)
            break;
        ::poll(nullptr, 0, 10);
    }
    return m_status;
}

std::string Program::errors() {
    pollfd p{m_err, POLLIN, 0};
    while (m_err >= 0 && ::poll(&p, 1, 0) > 0) {
        char chunk[4096];
        const ssize_t n = ::read(m_err, chunk, sizeof chunk);
        if (n <= 0)
            break;
        m_errText.append(chunk, static_cast<std::size_t>(n));
    }
    return m_errText;
}

Finished runToEnd(const std::vector<std::string>& argv, milliseconds within) {
    Program p(argv);
    p.closeInput();
    Finished f;
    const auto deadline = Clock::now() + within;
    while (auto line = p.readLine(milliseconds(msLeft(deadline))))
        f.out += *line + "\n";
    const auto status = p.wait(milliseconds(msLeft(deadline)));
    f.status = status ? *status : -1;
    f.err = p.errors();
    return f;
}

} // namespace rig
