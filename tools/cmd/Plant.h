#pragma once
// A scan of a plant: every bus at once, each by a worker process of its own (this program again,
// told its bus by kBusVariable), the modules of one bus asked one at a time as a bus requires.
// Processes rather than threads: the serial library keeps per-process state (its port table,
// its Ctrl-C abandon, its message handler and trace), and a bus whose driver hangs in a call
// cannot hold the others. Workers print each module as one inventory line (Inventory.h) on
// their standard output and their messages on standard error; this process reads both.

#include "cmd/Cli.h"

#include <functional>

namespace cmd {

inline constexpr const char* kBusVariable = "PORTULA_CMD_BUS";

// In a worker: the bus named by the variable becomes the port scanned. A raw TCP port is scanned
// once, at the server's rate. False, having said why, for a name that is not a port.
bool becomeBusWorker(Options& o, const char* bus);

// Scans every bus of the options (-p given more than once, or --map-ports) with one worker each,
// prints the modules as they are found (or, with --compare, what differs from the inventory),
// writes --save's inventory, and returns the exit status the README documents.
int scanPlant(const Options& o, char** argv, const std::function<bool()>& interrupted);

} // namespace cmd
