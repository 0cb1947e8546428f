#pragma once
// Runs a callable in a forked child, as an unprivileged user when the test runs as root, and
// hands back how it ended and what it wrote to standard error.

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

enum class Privileges { Keep, Drop };

struct ChildResult {
    bool exited = false; // ended through exit or return: exitCode is valid
    int exitCode = -1;
    int signal = 0; // the signal that ended it, when it did not exit
    std::string stderrText;
};

// The uid and gid a dropped child runs as ("nobody").
unsigned unprivilegedUid();
unsigned unprivilegedGid();

class Child {
  public:
    // Starts body in a forked child. body gets a descriptor it may write one byte to, to say
    // it is ready (see waitReady); its result is the child's exit status.
    Child(std::function<int(int readyFd)> body, Privileges privileges);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // True once the child wrote its ready byte, false when it ended or the time ran out first.
    bool waitReady(std::chrono::milliseconds within);
    void signal(int sig);
    // Waits for the child's end (killing it after the time ran out) and collects its result.
    ChildResult finish(std::chrono::milliseconds within);

  private:
    int m_pid = -1;
    int m_ready = -1;
    int m_stderr = -1;
    bool m_finished = false;
};

// Runs body as an unprivileged user (when root) and waits for it.
ChildResult runAsUser(const std::function<int()>& body,
                      std::chrono::milliseconds within = std::chrono::seconds(10));

} // namespace testsupport
