#pragma once
// The campaign: seeded rounds, each a simulator started with a fault model and its account of
// the line, a driver that runs traffic through Portula, and the oracle's verdict on every answer.

#include <cstdint>
#include <optional>
#include <string>

namespace campaign {

struct Settings {
    std::uint64_t seed = 1;
    long exchanges = 20000;
    double seconds = 170;
    std::optional<std::uint64_t> replay; // one round with this round seed
    bool verbose = false;
    bool keepGoing = false; // count wrong answers instead of stopping at the first
    unsigned lateWindowMs = 500;
    std::string simPath;
    std::string cmdPath;
};

// Runs the campaign and prints its figures; the exit status: 0 when no answer was wrong and
// every fault model could run, 1 for a wrong answer, 2 for a campaign that could not run.
int run(const Settings& settings);

} // namespace campaign
