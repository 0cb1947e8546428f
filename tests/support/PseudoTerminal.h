#pragma once
// A pseudo-terminal the test creates: the code under test opens the slave path, the test
// plays the device on the master side.

#include <chrono>
#include <string>
#include <string_view>

namespace testsupport {

class PseudoTerminal {
  public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& path() const { return m_path; }
    int master() const { return m_master; }

    void write(std::string_view bytes) const;
    // Reads from the master until `count` bytes came or the deadline passed.
    std::string read(std::size_t count, std::chrono::milliseconds within) const;
    // Reads until `terminator` came (included) or the deadline passed.
    std::string readUntil(char terminator, std::chrono::milliseconds within) const;
    // Reads whatever arrives until the line has been quiet for `quiet`.
    std::string drain(std::chrono::milliseconds quiet) const;
    // Closes the master side: the slave sees a hang-up.
    void hangUp();

  private:
    int m_master = -1;
    std::string m_path;
};

} // namespace testsupport
