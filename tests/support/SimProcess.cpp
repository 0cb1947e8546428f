#include "support/SimProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

SimProcess::SimProcess(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0)
        return;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return;
    }
    m_pid = pid;
    // The first line of its output names the device; wait for it, within a deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char c;
    std::string line;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        if (::read(out[0], &c, 1) != 1)
            break;
        if (c == '\n') {
            m_device = line;
            break;
        }
        line.push_back(c);
    }
    ::close(out[0]);
}

bool SimProcess::waitIdle(int withinMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
    const std::string statPath = "/proc/" + std::to_string(m_pid) + "/stat";
    int sleepingInARow = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat(statPath);
        std::string pid, name, state;
        stat >> pid >> name >> state; // the program name has no blanks
        sleepingInARow = state == "S" ? sleepingInARow + 1 : 0;
        if (sleepingInARow == 2)
            return true;
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, 1); // a scheduler slice for the simulator, not a wait for a result
    }
    return false;
}

SimProcess::~SimProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

} // namespace testsupport
