#include "support/AsUser.h"

#include "support/Deadline.h"

#include <cerrno>
#include <csignal>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

unsigned unprivilegedUid() {
    const passwd* nobody = ::getpwnam("nobody");
    return nobody ? nobody->pw_uid : 65534;
}

unsigned unprivilegedGid() {
    const passwd* nobody = ::getpwnam("nobody");
    return nobody ? nobody->pw_gid : 65534;
}

Child::Child(std::function<int(int readyFd)> body, Privileges privileges) {
    int ready[2];
    int err[2];
    if (::pipe(ready) != 0 || ::pipe(err) != 0)
        throw std::runtime_error("pipe");
    const uid_t uid = unprivilegedUid();
    const gid_t gid = unprivilegedGid();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        ::close(ready[0]);
        ::close(err[0]);
        ::dup2(err[1], 2);
        ::close(err[1]);
        if (privileges == Privileges::Drop && ::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(120);
        }
        const int code = body(ready[1]);
        // _exit: the parent's atexit handlers and static objects are not the child's to run.
        ::_exit(code);
    }
    ::close(ready[1]);
    ::close(err[1]);
    m_pid = pid;
    m_ready = ready[0];
    m_stderr = err[0];
}

Child::~Child() {
    if (!m_finished)
        finish(std::chrono::milliseconds(0));
    if (m_ready >= 0)
        ::close(m_ready);
    if (m_stderr >= 0)
        ::close(m_stderr);
}

bool Child::waitReady(std::chrono::milliseconds within) {
    pollfd p{m_ready, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(within.count())) <= 0)
        return false;
    char c;
    return ::read(m_ready, &c, 1) == 1;
}

void Child::signal(int sig) {
    if (m_pid > 0 && !m_finished)
        ::kill(m_pid, sig);
}

ChildResult Child::finish(std::chrono::milliseconds within) {
    ChildResult result;
    const Deadline deadline(within);
    char buffer[512];
    // Standard error reaches its end when the child is gone (it inherits nothing that would
    // keep the pipe open).
    for (;;) {
        pollfd p{m_stderr, POLLIN, 0};
        if (::poll(&p, 1, deadline.remainingMs()) <= 0) {
            ::kill(m_pid, SIGKILL);
            break;
        }
        const ssize_t n = ::read(m_stderr, buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.stderrText.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_finished = true;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

ChildResult runAsUser(const std::function<int()>& body, std::chrono::milliseconds within) {
    Child child([&](int) { return body(); }, Privileges::Drop);
    return child.finish(within);
}

} // namespace testsupport
