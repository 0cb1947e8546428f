// portula-campaign: seeded, bounded, randomized traffic through Portula's serial paths, every
// answer checked against the simulator's own account of the line.

#include "campaign/Campaign.h"
#include "support/RuntimeDir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* kUsage =
    "usage: portula-campaign [--seed S] [--exchanges N] [--seconds S] [--replay ROUND]\n"
    "                        [--late-window MS] [--keep-going] [--verbose]\n"
    "                        [--sim PROGRAM] [--cmd PROGRAM]\n"
    "  --seed S          the campaign's seed (default 1)\n"
    "  --exchanges N     stop after N exchanges (default 20000)\n"
    "  --seconds S       stop after S seconds (default 170)\n"
    "  --replay ROUND    run the one round a report named, and nothing else\n"
    "  --late-window MS  how long after a command's time-out the library must still tell its\n"
    "                    late reply apart (default 500)\n"
    "  --keep-going      count wrong answers instead of stopping at the first\n"
    "  --verbose         say what each round does\n"
    "  --sim, --cmd      the portula-sim and portula-cmd to drive (default: this build's)\n"
    "Exit status: 0 all answers right or excused, 1 a wrong answer, 2 the campaign could not\n"
    "run, 3 some fault models could not run on this simulator.\n";

bool number(const char* text, unsigned long long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text, &end, 10);
    return *text && *end == '\0' && errno == 0 && text[0] != '-';
}

} // namespace

int main(int argc, char** argv) {
    // Its own run-time folder: what the library writes down there is this campaign's alone.
    const testsupport::PrivateRuntimeDir runtime;
    campaign::Settings s;
    s.simPath = PORTULA_SIM_PATH;
    s.cmdPath = PORTULA_CMD_PATH;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--verbose") {
            s.verbose = true;
            continue;
        }
        if (a == "--keep-going") {
            s.keepGoing = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "portula-campaign: %s needs a value\n%s", a.c_str(), kUsage);
            return 2;
        }
        const char* value = argv[++i];
        unsigned long long n = 0;
        if (a == "--sim") {
            s.simPath = value;
        } else if (a == "--cmd") {
            s.cmdPath = value;
        } else if (!number(value, n)) {
            std::fprintf(stderr, "portula-campaign: %s: '%s' is not a number\n", a.c_str(), value);
            return 2;
        } else if (a == "--seed") {
            s.seed = n;
        } else if (a == "--exchanges") {
            s.exchanges = static_cast<long>(n);
        } else if (a == "--seconds") {
            s.seconds = static_cast<double>(n);
        } else if (a == "--replay") {
            s.replay = n;
        } else if (a == "--late-window" && n <= 60000) {
            s.lateWindowMs = static_cast<unsigned>(n);
        } else {
            std::fprintf(stderr, "portula-campaign: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    return campaign::run(s);
}
