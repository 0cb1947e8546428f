#pragma once
// The simulator's command line: pure, so every refusal can be checked without a process.

#include "sim/Line.h"
#include "sim/Module.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Options {
    std::vector<std::string> addresses;        // two uppercase hex digits each; empty: 01
    std::optional<portula::ModbusMode> modbus; // Modbus slaves in place of the ASCII modules
    std::vector<std::uint8_t> modbusIds;       // with modbus: the slaves' ids; empty: 1
    std::uint8_t parity = 0;                   // 0 none, 1 odd, 2 even
    bool parityGiven = false;                  // only then is the terminal's parity checked
    bool endingGiven = false;
    bool checksum = false;
    bool echo = false;
    std::uint32_t baud = 9600;
    int stopBits = 1;
    unsigned delayMs = 0;
    Faults faults;
    bool lineEcho = false;
    unsigned garbleEchoEvery = 0;
    unsigned echoSkip = 0;
    bool doubleEcho = false;
    std::string ending = "\r";
    unsigned noiseEvery = 0;
    unsigned noiseBytes = 4;
    bool noiseBytesGiven = false;
    std::uint32_t seed = 1;
    std::string truth; // the file the simulator's account of the line goes to; empty: none
    unsigned batchMs = 0;
    bool wirePace = false;
    bool keepReplies = false;
    std::string backplane;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error; // one line naming the option; empty when the command line is good
};

ParsedOptions parseOptions(int argc, char* const* argv);

std::string usageText();
// "portula-sim" and the project's version, one line.
std::string versionText();

// The modules the options put on the line. A module alone keeps the default name; modules
// sharing the line are named after their addresses, so a scan can tell them apart.
std::vector<ModuleConfig> modulesFor(const Options& options);

// The peers the options put on the line: the ASCII modules or the Modbus slaves, with the
// line's faults.
Module moduleFor(const Options& options);

// How the line between those modules and the terminal behaves.
LineConfig lineConfigFor(const Options& options);

} // namespace sim
