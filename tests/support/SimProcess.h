#pragma once
// The simulated module run as a child process, for end-to-end tests.

#include "support/Program.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class SimProcess {
  public:
    SimProcess(const std::string& program, const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The pseudo-terminal the simulator answers on; empty when it did not start.
    const std::string& device() const { return m_device; }
    // True once the simulator sleeps waiting for the line, having taken in all it was sent,
    // checked twice in a row within the deadline.
    bool waitIdle(int withinMs) const;

  private:
    std::unique_ptr<Program> m_child;
    std::string m_device;
};

} // namespace testsupport
