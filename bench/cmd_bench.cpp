// Figures for portula-cmd and the trace, against the simulator:
//
//   round trip   portula-cmd's exchange against Send_Receive_Cmd called directly
//   trace        Send_Receive_Cmd with the trace on against off
//   scan         256 addresses at 115200 and 9600 baud against the wire-time floor
//
// Each comparison alternates its two sides sample by sample and reports the median of the
// per-pair ratios. Usage: portula_cmd_bench SIM CMD  (paths of portula-sim and portula-cmd)

#include "Trace.h"
#include "cmd/Cli.h"
#include "cmd/Line.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <uartce.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kPort = 21;

// Starts the simulator; its process id, then its device, come on the pipe.
std::string startSim(const std::string& sim, const std::string& args, FILE*& pipe, int& pid) {
    pipe = ::popen(("echo $$; exec " + sim + " " + args).c_str(), "r");
    char line[256] = {};
    if (!pipe || !std::fgets(line, sizeof line, pipe))
        return {};
    pid = std::atoi(line);
    if (!std::fgets(line, sizeof line, pipe))
        return {};
    std::string device = line;
    device.pop_back();
    return device;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <typename A, typename B> void compare(const char* what, int samples, A a, B b) {
    std::vector<double> ta, tb, ratios;
    for (int i = 0; i < samples; ++i) {
        auto t0 = Clock::now();
        a();
        auto t1 = Clock::now();
        b();
        auto t2 = Clock::now();
        const double da = std::chrono::duration<double, std::micro>(t1 - t0).count();
        const double db = std::chrono::duration<double, std::micro>(t2 - t1).count();
        ta.push_back(da);
        tb.push_back(db);
        ratios.push_back(db / da);
    }
    std::printf("%-40s %9.1f us %9.1f us   median ratio %.3f\n", what, median(ta), median(tb),
                median(ratios));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: portula_cmd_bench SIM CMD\n");
        return 2;
    }
    FILE* simPipe = nullptr;
    int simPid = 0;
    const std::string device = startSim(argv[1], "", simPipe, simPid);
    ::setenv("UARTCE_COM21", device.c_str(), 1);
    if (Open_Com(kPort, 9600, 8, 0, 1) != UARTCE_OK)
        return 1;
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    cmd::Options options;
    std::printf("%-40s %12s %12s\n", "", "A", "B");
    compare(
        "round trip: direct (A), portula-cmd (B)", 2000,
        [&] { Send_Receive_Cmd(kPort, "$01M", reply, 200, 0, nullptr); },
        [&] { cmd::exchange(kPort, "$01M", options, 200, false); });
    const std::string trace = "/tmp/portula-cmd-bench-" + std::to_string(::getpid()) + ".jsonl";
    compare(
        "trace: off (A), on (B)", 2000,
        [&] {
            UARTCE_SetTrace(nullptr);
            Send_Receive_Cmd(kPort, "$01M", reply, 200, 0, nullptr);
        },
        [&] {
            UARTCE_SetTrace(trace.c_str());
            Send_Receive_Cmd(kPort, "$01M", reply, 200, 0, nullptr);
        });
    UARTCE_SetTrace(nullptr);
    ::unlink(trace.c_str());
    Close_Com(kPort);
    ::kill(simPid, SIGTERM);
    ::pclose(simPipe);

    for (unsigned baud : {115200u, 9600u}) {
        FILE* pipe = nullptr;
        int pid = 0;
        const std::string dev = startSim(argv[1], "--baud " + std::to_string(baud), pipe, pid);
        const std::string line = std::string(argv[2]) + " scan -p " + dev + " --bauds " +
                                 std::to_string(baud) + " --checksum off --json >/dev/null 2>&1";
        const auto t0 = Clock::now();
        const int rc = std::system(line.c_str());
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        // The floor: every address's command and a 32-byte reply on the wire, 10 bits a byte.
        const double floor = 256.0 * (5 + 33) * 10 / baud;
        std::printf("scan 256 addresses at %6u baud: %.2f s (wire-time floor %.2f s, bound %.2f s, "
                    "status %d)\n",
                    baud, s, floor, 256 * cmd::scanTimeoutMs(baud, false, 1) / 1000.0, rc);
        ::kill(pid, SIGTERM);
        ::pclose(pipe);
    }
    return 0;
}
