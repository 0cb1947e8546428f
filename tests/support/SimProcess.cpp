#include "support/SimProcess.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>

namespace testsupport {

SimProcess::SimProcess(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    m_child = std::make_unique<Program>(argv);
    // The first line of its output names the device. Nothing reads on after it.
    m_device = m_child->firstLine(std::chrono::seconds(10));
    m_child->closeOutput();
}

bool SimProcess::waitIdle(int withinMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
    const std::string statPath = "/proc/" + std::to_string(m_child->pid()) + "/stat";
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
    m_child->stop(SIGTERM);
}

} // namespace testsupport
