#pragma once
// A system side for the library without a system: COM1 is a device whose every byte comes from
// a script, and time passes at once while the library waits. Linked in place of the real
// system side by the fuzzers and the tests of the library's rules over whole calls.

#include <cstddef>
#include <deque>
#include <string>

namespace uartce::scripted {

// The device's side, kept apart from the device the library holds (which it destroys on a
// hang-up).
struct Line {
    std::deque<char> arrived;           // readable now
    std::deque<std::string> duringWait; // arrives piece by piece, one each time the library waits
    std::string written;                // every byte the library wrote
    bool hungUp = false;
    std::size_t readLimit = 512; // the most one read hands over
    // A device that never stops sending: once what arrived and what was to arrive have been
    // read, and while this is above 0, each read hands over a full read of 'x' (no line end),
    // and counts it off.
    std::size_t endlessReads = 0;
    std::size_t reads = 0; // reads that handed over bytes
};

// The line COM1 is on; reset() gives a fresh one.
Line& line();
void reset();

} // namespace uartce::scripted
