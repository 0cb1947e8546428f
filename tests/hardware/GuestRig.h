#pragma once
// The guest side of the hardware rig: the channel to the host (which plugs and unplugs the
// adapter and reports what the drivers put on the wire), bounded waits, and programs run as a
// user would run them.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace rig {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One request to the host and its answer ("ok ..." or "error ..."; "error no answer" when none
// came within the time). ask() sends and waits; send() and answer() split the two, so a test
// can be inside a call of its own when the host acts.
std::string ask(const std::string& request, milliseconds within = milliseconds(15000));
void send(const std::string& request);
std::string answer(milliseconds within = milliseconds(15000));

// The line as the guest's driver programmed the device: what QEMU's model of it was told.
struct Wire {
    long baud = 0;
    char parity = '?';
    int dataBits = 0;
    int stopBits = 0;
};
// Parses "ok baud=9600 parity=N data=8 stop=1"; nullopt for anything else.
std::optional<Wire> parseWire(const std::string& answer);

// Parses "ok 08 0b 0b", the modem-control register's values in the order written; nullopt for
// anything else.
std::optional<std::vector<unsigned>> parseMcr(const std::string& answer);

// Polls until the condition holds or the time is up; the condition's last value.
bool waitUntil(const std::function<bool()>& condition, milliseconds within);

std::string readText(const std::string& path);
bool exists(const std::string& path);
// Where a symbolic link points, made absolute; empty when it is not a link.
std::string linkTarget(const std::string& path);
// This process's descriptors that are open on the device node, or on what is left of it.
int descriptorsOn(const std::string& node);
// CPU time this process has used, in seconds.
double cpuSeconds();

// A program run with pipes on its standard input, output and error; killed when the object
// goes away.
class Program {
  public:
    explicit Program(const std::vector<std::string>& argv);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    void writeLine(const std::string& line) const;
    // The next line of its standard output, without the newline; nullopt when none came.
    std::optional<std::string> readLine(milliseconds within);
    void closeInput();
    void signal(int sig) const;
    // Its exit status (128 + N for a signal), or nullopt while it runs past the time.
    std::optional<int> wait(milliseconds within);
    // What it wrote to standard error so far.
    std::string errors();

  private:
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    std::string m_outBuffer, m_errText;
    std::optional<int> m_status;
};

// Runs a program to its end (bounded), for its exit status and output.
struct Finished {
    int status = -1; // -1: did not end in time
    std::string out;
    std::string err;
};
Finished runToEnd(const std::vector<std::string>& argv, milliseconds within = milliseconds(20000));

} // namespace rig
