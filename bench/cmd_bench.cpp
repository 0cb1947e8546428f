// Figures for portula-cmd and the trace, against the simulator:
//
//   round trip   portula-cmd's exchange against Send_Receive_Cmd called directly
//   trace        Send_Receive_Cmd with the trace on against off
//   echo         a round trip on a line that echoes against one that does not
//   scan         256 addresses at 115200 and 9600 baud, two modules on the line, against the
//                wire-time floor: every module found, none invented
//   attribution  a campaign of commands over a pty, ser2net raw and RFC 2217, with late replies,
//                the line's echo and clients that leave: answers credited to another command
//   flood        20 MB pushed through a pty as fast as the reader takes it: portula-cmd term
//                beside cat, picocom and tio (those that are installed), MB/s and CPU per MB;
//                term's --log must hold every byte in order
//   modbus       a 10-register read, portula-cmd --modbus against mbpoll, each a whole run
//                against the same simulated slave; and scan --modbus of 247 slave ids at 9600,
//                one framing, against the wire-time floor
//
// Each comparison alternates its two sides sample by sample and reports the median of the
// per-pair ratios. Usage: portula_cmd_bench SIM CMD [--check]  (paths of portula-sim and
// portula-cmd); --check exits 1 when a figure is past its limit.

#include "cmd/Cli.h"
#include "cmd/Line.h"
#include "support/Program.h"
#include "support/PseudoTerminal.h"
#include "support/Ser2net.h"
#include "support/SimProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <uartce.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kPort = 21;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool g_failed = false;

void judge(bool ok, const char* what) {
    if (!ok) {
        std::printf("  PAST ITS LIMIT: %s\n", what);
        g_failed = true;
    }
}

template <typename A, typename B> double compare(const char* what, int samples, A a, B b) {
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
    return median(ratios);
}

// Sends $01M and $01F in turn over an open port and counts the answers: right ones, and those
// with status 0 that belong to the other command (or to nobody).
struct Tally {
    unsigned sent = 0, right = 0, wrong = 0, failed = 0;
};
void campaign(std::uint8_t port, unsigned commands, Tally& t, const std::function<void()>& leave) {
    const char* texts[] = {"$01M", "$01F"};
    const char* answers[] = {"!01PORTULA-SIM", "!01A1.07"};
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    for (unsigned i = 0; i < commands; ++i) {
        const std::uint16_t status = Send_Receive_Cmd(port, texts[i % 2], reply, 40, 0, nullptr);
        ++t.sent;
        if (status != UARTCE_OK) {
            ++t.failed;
            // Now and then the client that got no answer leaves, and another takes the line.
            if (leave && t.failed % 3 == 0)
                leave();
            continue;
        }
        if (std::string(reply) == answers[i % 2])
            ++t.right;
        else
            ++t.wrong;
    }
}

struct Flood {
    double mbPerSecond = 0;
    double cpuMsPerMb = 0;
    bool ran = false;
};

constexpr std::size_t kFloodBytes = 20 * 1024 * 1024;

// The flood's bytes: printable, so that a log spells them as they are.
const std::string& floodBytes() {
    static const std::string bytes = [] {
        std::string b;
        b.reserve(kFloodBytes + 64);
        while (b.size() < kFloodBytes)
            b += "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        b.resize(kFloodBytes);
        return b;
    }();
    return bytes;
}

// A pseudo-terminal for a program to take as its port, the line raw. The bench holds the slave
// side open too, to see what the program has not read yet.
struct RawLine {
    testsupport::PseudoTerminal pty;
    int slave = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);

    RawLine() {
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
    }
    ~RawLine() {
        if (slave >= 0)
            ::close(slave);
    }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;
};

// Runs the program on the slave side of a new pty (DEV in its arguments), its standard input
// an idle pipe and its output thrown away, and writes kFloodBytes to the master as fast as the
// program reads them.
Flood flood(std::vector<std::string> args) {
    Flood f;
    const RawLine line;
    if (line.slave < 0)
        return f;
    for (std::string& a : args)
        if (a == "DEV")
            a = line.pty.path();
    // Its standard input an idle pipe; its own session, so that its signals to its group do not
    // reach the bench.
    testsupport::Program program(args, {.inputPipe = true,
                                        .output = testsupport::ProgramOptions::Output::Discard,
                                        .searchPath = true,
                                        .newSession = true});
    // The program has the line once the first bytes leave the pty's buffer.
    const std::string& bytes = floodBytes();
    const auto t0 = Clock::now();
    std::size_t sent = 0;
    while (sent < kFloodBytes) {
        const ssize_t n = ::write(line.pty.master(), bytes.data() + sent,
                                  std::min<std::size_t>(4096, kFloodBytes - sent));
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    // What the pty still holds (its buffers, some tens of kB) is read before the program is
    // stopped: the line's input queue empty for a while.
    for (int empty = 0, tries = 0; empty < 30 && tries < 500; ++tries) {
        int waiting = 0;
        empty = ::ioctl(line.slave, FIONREAD, &waiting) == 0 && waiting == 0 ? empty + 1 : 0;
        ::usleep(10000);
    }
    program.stop(SIGTERM);
    const double cpu = program.cpuMs();
    f.ran = program.started() && sent >= kFloodBytes;
    f.mbPerSecond = static_cast<double>(sent) / 1e6 / seconds;
    f.cpuMsPerMb = cpu / (static_cast<double>(sent) / 1e6);
    return f;
}

// From a line's arrival on an idle port to its text on term's output, in microseconds: the
// median of 50 lines.
double arrivalLatencyUs(const std::string& cmd) {
    const RawLine port;
    if (port.slave < 0)
        return -1;
    testsupport::Program term({cmd, "term", "-p", port.pty.path(), "--ending", "none"},
                              {.inputPipe = true, .newSession = true});
    std::vector<double> took;
    ::usleep(300000); // the port open
    for (int i = 0; i < 50; ++i) {
        const std::string line = "L" + std::to_string(i) + "\r";
        const std::string shown = "L" + std::to_string(i) + "\n";
        const std::size_t from = term.out().size();
        const auto t0 = Clock::now();
        if (::write(port.pty.master(), line.data(), line.size()) < 0)
            break;
        term.readUntil([&](const std::string& out) { return out.find(shown, from) != out.npos; },
                       std::chrono::seconds(2));
        took.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        ::usleep(20000); // idle between lines
    }
    term.stop(SIGTERM);
    return median(took);
}

bool installed(const char* program) {
    return testsupport::runShell(std::string("command -v ") + program).exit == 0;
}

// The bytes of the log's received lines, in order, as they came.
std::string receivedInLog(const std::string& path) {
    std::ifstream in(path);
    std::string all;
    for (std::string line; std::getline(in, line);) {
        const std::size_t mark = line.find(" < ");
        if (mark != std::string::npos)
            all += line.substr(mark + 3);
    }
    return all;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: portula_cmd_bench SIM CMD [--check]\n");
        return 2;
    }
    const bool check = argc > 3 && std::string(argv[3]) == "--check";
    auto sim = std::make_unique<testsupport::SimProcess>(argv[1], std::vector<std::string>{});
    ::setenv("UARTCE_COM21", sim->device().c_str(), 1);
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
    sim.reset();

    // The same round trip on a line that returns what it sends: the echo is sorted out as it
    // comes, within the reply's own wait.
    {
        testsupport::SimProcess plain(argv[1], {});
        testsupport::SimProcess echoing(argv[1], {"--line-echo"});
        ::setenv("UARTCE_COM22", plain.device().c_str(), 1);
        ::setenv("UARTCE_COM23", echoing.device().c_str(), 1);
        Open_Com(22, 9600, 8, 0, 1);
        Open_Com(23, 9600, 8, 0, 1);
        const double ratio = compare(
            "echo: a plain line (A), an echoing one (B)", 2000,
            [&] { Send_Receive_Cmd(22, "$01M", reply, 200, 0, nullptr); },
            [&] { Send_Receive_Cmd(23, "$01M", reply, 200, 0, nullptr); });
        judge(ratio <= 1.1, "a round trip with echo costs at most 1.1 times one without");
        Close_Com(22);
        Close_Com(23);
    }

    for (unsigned baud : {115200u, 9600u}) {
        testsupport::SimProcess sim(argv[1],
                                    {"--baud", std::to_string(baud), "--address", "07,A3"});
        const auto t0 = Clock::now();
        const testsupport::Ran scan =
            testsupport::run({argv[2], "scan", "-p", sim.device(), "--bauds", std::to_string(baud),
                              "--checksum", "off", "--json"},
                             std::nullopt, std::chrono::minutes(5));
        const std::string& found = scan.out;
        const int rc = scan.exit;
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        const bool both = found.find("\"address\":\"07\"") != std::string::npos &&
                          found.find("\"address\":\"A3\"") != std::string::npos;
        const auto modules = std::count(found.begin(), found.end(), '\n');
        // The floor: every address's command on the wire, and the two replies.
        const double floor = (256.0 * 5 + 2 * 20) * 10 / baud;
        const double limit = baud == 9600 ? 7.7 : 5.5;
        std::printf(
            "scan 256 addresses at %6u baud: %.2f s (wire-time floor %.2f s, limit %.1f s), "
            "%ld modules found, status %d\n",
            baud, s, floor, limit, static_cast<long>(modules), rc);
        judge(s <= limit, "the scan's time");
        judge(both && modules == 2, "every module found, none invented");
    }

    // Attribution: late replies (every 5th, 60 ms late for a 40 ms time-out), kept by the
    // module whatever the terminal flushes, on an echoing line; through a pty, and through
    // ser2net raw and RFC 2217, where a client that got no answer leaves and the next comes.
    {
        const std::vector<std::string> args = {"--late-every",   "5",          "--late-ms", "60",
                                               "--keep-replies", "--line-echo"};
        Tally pty, raw, rfc;
        testsupport::SimProcess direct(argv[1], args);
        ::setenv("UARTCE_COM24", direct.device().c_str(), 1);
        Open_Com(24, 9600, 8, 0, 1);
        campaign(24, 400, pty, {});
        Close_Com(24);
        testsupport::SimProcess behindRaw(argv[1], args);
        testsupport::SimProcess behindRfc(argv[1], args);
        testsupport::Ser2net server(
            {{testsupport::Ser2net::Protocol::Raw, behindRaw.device()},
             {testsupport::Ser2net::Protocol::Rfc2217, behindRfc.device()}});
        for (std::size_t accepter : {0u, 1u}) {
            Tally& t = accepter == 0 ? raw : rfc;
            ::setenv("UARTCE_COM25", server.url(accepter).c_str(), 1);
            Open_Com(25, 9600, 8, 0, 1);
            campaign(25, 300, t, [] {
                Close_Com(25);
                Open_Com(25, 9600, 8, 0, 1);
            });
            Close_Com(25);
        }
        unsigned wrong = 0, sent = 0;
        for (const auto& [name, t] : {std::pair<const char*, Tally&>{"pty", pty},
                                      {"ser2net raw", raw},
                                      {"ser2net rfc2217", rfc}}) {
            std::printf("attribution over %-16s %4u commands: %4u right, %3u failed, %u credited "
                        "to another command\n",
                        name, t.sent, t.right, t.failed, t.wrong);
            wrong += t.wrong;
            sent += t.sent;
        }
        judge(sent >= 1000 && wrong == 0, "no answer credited to another command");
    }
    // A plant: 1 to 16 buses of 256 addresses at 9600, each a simulator with two modules, two of
    // them (from 8 buses) behind ser2net (raw TCP and RFC 2217), scanned at once in the time of
    // the slowest bus alone: at most 1.25 times it, every module on its own bus, none invented.
    {
        std::vector<std::unique_ptr<testsupport::SimProcess>> sims;
        for (int i = 0; i < 16; ++i) {
            char addresses[24];
            std::snprintf(addresses, sizeof addresses, "%02X,%02X", 0x10 + i, 0xE0 + i);
            sims.push_back(std::make_unique<testsupport::SimProcess>(
                argv[1], std::vector<std::string>{"--address", addresses}));
        }
        testsupport::Ser2net server({{testsupport::Ser2net::Protocol::Raw, sims[6]->device()},
                                     {testsupport::Ser2net::Protocol::Rfc2217, sims[7]->device()}});
        const auto portOf = [&](int i) {
            return i == 6 ? server.url(0) : i == 7 ? server.url(1) : sims[i]->device();
        };
        const auto scanSeconds = [&](int buses, std::string& wrong) {
            std::vector<std::string> args{argv[2], "scan"};
            for (int i = 0; i < buses; ++i)
                args.insert(args.end(), {"-p", portOf(i)});
            args.insert(args.end(), {"--bauds", "9600", "--checksum", "off", "--json"});
            // One bus goes through the plant's workers too, as an inventory: the same path.
            if (buses == 1)
                args.insert(args.end(), {"--save", "/dev/null"});
            const auto t0 = Clock::now();
            const testsupport::Ran r =
                testsupport::run(args, std::nullopt, std::chrono::minutes(5));
            const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            std::istringstream lines(r.out);
            int right = 0, other = 0;
            for (std::string line; std::getline(lines, line);) {
                bool own = false;
                for (int i = 0; i < buses; ++i) {
                    char a[12], b[12];
                    std::snprintf(a, sizeof a, "%02X", 0x10 + i);
                    std::snprintf(b, sizeof b, "%02X", 0xE0 + i);
                    const std::string port = "\"port\":\"" + portOf(i) + "\"";
                    own = own ||
                          (line.find(port) != std::string::npos &&
                           (line.find(std::string("\"address\":\"") + a) != std::string::npos ||
                            line.find(std::string("\"address\":\"") + b) != std::string::npos));
                }
                (own ? right : other) += 1;
            }
            if (right != 2 * buses || other != 0 || r.exit != 0)
                wrong = std::to_string(right) + " of " + std::to_string(2 * buses) +
                        " modules on their own bus, " + std::to_string(other) + " others, exit " +
                        std::to_string(r.exit);
            return seconds;
        };
        // The slowest bus alone: one behind a serial server.
        std::string wrong;
        double slowest = 0;
        for (int bus : {0, 7}) {
            std::vector<std::string> args{argv[2], "scan",       "-p",  portOf(bus), "--bauds",
                                          "9600",  "--checksum", "off", "--json"};
            const auto t0 = Clock::now();
            testsupport::run(args, std::nullopt, std::chrono::minutes(5));
            slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - t0).count());
        }
        std::printf("plant scan, 256 addresses at 9600 a bus: the slowest bus alone %.2f s\n",
                    slowest);
        for (int buses : {1, 2, 4, 8, 16}) {
            std::string fault;
            const double s = scanSeconds(buses, fault);
            std::printf("  %2d buses at once: %.2f s, %.2f times the slowest bus%s%s\n", buses, s,
                        s / slowest, fault.empty() ? "" : ": ", fault.c_str());
            if (buses == 8)
                judge(s <= 1.25 * slowest && fault.empty(),
                      "8 buses in at most 1.25 times the slowest, every module on its own bus");
            wrong += fault;
        }
        judge(wrong.empty(), "every bus's modules found on their own bus, none invented");
    }
    // Modbus RTU at 9600, the slave's bytes at the wire's pace. A 10-register read, each side a
    // whole run of its program (start, open the port, the exchange, exit), alternating against
    // the same slave: portula-cmd's at most mbpoll's. The library's own round trip beside them.
    {
        testsupport::SimProcess slave(
            argv[1], {"--modbus", "rtu", "--address", "5,200", "--baud", "9600", "--wire-pace"});
        const std::string want = "05 03 14 01 F4 01 F5 01 F6 01 F7 01 F8 01 F9 01 FA 01 FB 01 "
                                 "FC 01 FD\n";
        unsigned portulaWrong = 0, mbpollWrong = 0;
        // The programs start without a search of PATH: mbpoll by where the shell finds it.
        std::string mbpoll = testsupport::runShell("command -v mbpoll").out;
        while (!mbpoll.empty() && (mbpoll.back() == '\n' || mbpoll.back() == ' '))
            mbpoll.pop_back();
        const bool haveMbpoll = !mbpoll.empty();
        if (!haveMbpoll)
            std::printf("modbus: mbpoll not installed\n");
        judge(haveMbpoll, "mbpoll, the reference for the Modbus round trip, is installed");
        if (haveMbpoll) {
            const double ratio = compare(
                "modbus read 10: portula-cmd (A), mbpoll (B)", 200,
                [&] {
                    const testsupport::Ran r =
                        testsupport::run({argv[2], "--modbus", "rtu", "-p", slave.device(), "-b",
                                          "9600", "05 03 00 00 00 0A"},
                                         std::nullopt, std::chrono::seconds(10));
                    portulaWrong += r.exit != 0 || r.out != want;
                },
                [&] {
                    const testsupport::Ran r = testsupport::run(
                        {mbpoll, "-m", "rtu", "-b", "9600", "-P", "none", "-a", "5", "-t", "4",
                         "-r", "1", "-c", "10", "-1", "-o", "0.3", slave.device()},
                        std::nullopt, std::chrono::seconds(10));
                    mbpollWrong += r.exit != 0 || r.out.find("[10]: \t509") == std::string::npos;
                });
            std::printf("  answers not as the slave holds them: portula-cmd %u, mbpoll %u\n",
                        portulaWrong, mbpollWrong);
            judge(ratio >= 1.0, "portula-cmd's Modbus read takes at most mbpoll's time");
            judge(portulaWrong == 0 && mbpollWrong == 0, "every Modbus read answered rightly");
        }
        ::setenv("UARTCE_COM26", slave.device().c_str(), 1);
        Open_Com(26, 9600, 8, 0, 1);
        const std::uint8_t request[] = {5, 3, 0, 0, 0, 10};
        std::uint8_t answer[256];
        std::vector<double> trips;
        for (int i = 0; i < 200; ++i) {
            std::uint32_t length = 0;
            const auto t0 = Clock::now();
            if (UARTCE_ModbusExchange(26, UARTCE_MODBUS_RTU, request, sizeof request, answer,
                                      sizeof answer, &length, 300, nullptr) == UARTCE_OK)
                trips.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        Close_Com(26);
        // The pty takes the request at once; the slave paces its 25 bytes, 10 bits each. The
        // reply's length is known from its byte count, so no silence is waited for.
        std::printf("  the library's round trip: median %.2f ms of %zu answered (the reply's "
                    "wire time %.2f ms)\n",
                    median(trips), trips.size(), 25 * 10 / 9.6);
        judge(trips.size() == 200, "every one of the library's Modbus reads answered");

        // The scan: a silent id costs its request and the wait for a reply to begin; the floor
        // is each id's request and the silence after it on the wire, and the two replies.
        const auto t0 = Clock::now();
        const testsupport::Ran scan =
            testsupport::run({argv[2], "scan", "--modbus", "rtu", "-p", slave.device(), "--bauds",
                              "9600", "--parities", "none", "--json"},
                             std::nullopt, std::chrono::minutes(5));
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        const double floor = (247 * (8 + 3.5) + 2 * (7 + 3.5)) * 10 / 9600;
        const double limit = 12.0;
        const auto slaves = std::count(scan.out.begin(), scan.out.end(), '\n');
        const bool both = scan.out.find("\"id\":5,") != std::string::npos &&
                          scan.out.find("\"id\":200,") != std::string::npos;
        std::printf("scan --modbus rtu, 247 slave ids at 9600 8N1: %.2f s (wire-time floor %.2f s, "
                    "limit %.1f s), %ld slaves found, status %d\n",
                    s, floor, limit, static_cast<long>(slaves), scan.exit);
        judge(s <= limit, "the Modbus scan's time");
        judge(both && slaves == 2 && scan.exit == 0, "every slave found, none invented");
    }
    // term on a fast line: as fast as picocom, at no more than 1.5 times its CPU per MB, and
    // every byte in the log, in order.
    {
        const std::string log = "/tmp/portula-cmd-bench-flood-" + std::to_string(::getpid());
        ::unlink(log.c_str());
        const Flood term = flood({argv[2], "term", "-p", "DEV", "--ending", "none", "--log", log});
        std::printf("flood 20 MB through a pty: portula-cmd term %6.1f MB/s  %5.1f ms CPU/MB\n",
                    term.mbPerSecond, term.cpuMsPerMb);
        const std::string got = receivedInLog(log);
        ::unlink(log.c_str());
        const bool inOrder = got == floodBytes();
        std::printf("  the log holds %zu of %zu bytes, %s\n", got.size(), kFloodBytes,
                    inOrder ? "in order" : "NOT whole and in order");
        judge(term.ran && inOrder, "term's log holds the flood whole and in order");
        const double latency = arrivalLatencyUs(argv[2]);
        std::printf("  a line's arrival to term's output when idle: median %.0f us\n", latency);
        judge(latency >= 0 && latency < 5000, "term shows what arrives within 5 ms");
        for (const char* reference : {"cat", "picocom", "tio"}) {
            if (!installed(reference)) {
                std::printf("  %-8s not installed\n", reference);
                continue;
            }
            const Flood r =
                std::string(reference) == "cat"
                    ? flood({"cat", "DEV"})
                    : flood({reference, "-b", "9600",
                             std::string(reference) == "picocom" ? "-q" : "--mute", "DEV"});
            std::printf("  %-8s %6.1f MB/s  %5.1f ms CPU/MB\n", reference, r.mbPerSecond,
                        r.cpuMsPerMb);
            if (std::string(reference) == "picocom" && r.ran) {
                judge(term.mbPerSecond >= r.mbPerSecond, "term keeps up with picocom");
                judge(term.cpuMsPerMb <= 1.5 * r.cpuMsPerMb,
                      "term's CPU per MB at most 1.5 times picocom's");
            }
        }
    }
    return check && g_failed ? 1 : 0;
}
