#pragma once
// A run-time folder ($XDG_RUNTIME_DIR) of the test process's own, which the programs it starts
// inherit: what the serial library writes down there (replies a line still owes) stays with
// this test. Tests run side by side, and a pseudo-terminal number one of them closed is soon
// another's: a reply owed on the first is nothing to the second.

#include <string>

namespace testsupport {

class PrivateRuntimeDir {
  public:
    PrivateRuntimeDir();
    ~PrivateRuntimeDir();
    PrivateRuntimeDir(const PrivateRuntimeDir&) = delete;
    PrivateRuntimeDir& operator=(const PrivateRuntimeDir&) = delete;

  private:
    std::string m_path;
};

} // namespace testsupport
