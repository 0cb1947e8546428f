// portula-cmd: the terminal's commands from a shell: one exchange, a scan of a line, a soak.

#include "cmd/Cli.h"
#include "cmd/Line.h"

#include <uartce.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <time.h>
#include <unistd.h>

namespace {

using namespace cmd;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_interrupted = 0;

void onInterrupt(int) {
    g_interrupted = 1;
}

void catchInterrupt() {
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int openPort(const Options& o, std::uint8_t& number) {
    const auto choice = choosePort(o.port);
    number = choice->number;
    // Paths and URLs reach the library through the variable of the tool's own port number.
    if (!choice->device.empty())
        ::setenv(("UARTCE_COM" + std::to_string(number)).c_str(), choice->device.c_str(), 1);
    const std::uint16_t status =
        Open_Com(number, o.baud, 8, 0, static_cast<std::int8_t>(o.stopBits));
    if (status == UARTCE_OK)
        return kExitOk;
    // The library has said why on standard error.
    std::fprintf(stderr, "portula-cmd: port %s refused (status %u)\n", o.port.c_str(), status);
    return kExitPortRefused;
}

int runCommands(const Options& o, std::uint8_t port) {
    const unsigned timeout = o.timeoutMs.value_or(kDefaultTimeoutMs);
    int exit = kExitOk;
    auto one = [&](const std::string& text) {
        const Exchange e = exchange(port, text, o, timeout, o.checksum);
        if (o.json) {
            std::printf("{\"command\":%s,\"reply\":%s,\"status\":%u,\"rtt_us\":%lld}\n",
                        jsonString(text).c_str(), jsonString(e.reply).c_str(), e.status,
                        static_cast<long long>(e.roundTripUs));
        } else if (e.status == UARTCE_OK) {
            std::printf("%s\n", showBytes(e.reply, o.hex).c_str());
        } else {
            std::printf("%s\n", showBytes(e.reply, o.hex).c_str());
            std::fprintf(stderr, "portula-cmd: %s: status %u\n", text.c_str(), e.status);
        }
        std::fflush(stdout);
        if (exit == kExitOk)
            exit = exitForStatus(e.status);
        return e.status != UARTCE_ERR_HANGUP;
    };
    if (!o.commands.empty()) {
        for (const std::string& text : o.commands)
            if (!one(text) || g_interrupted)
                break;
        return exit;
    }
    for (std::string line; !g_interrupted && std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (line.size() > kMaxText) {
            std::fprintf(stderr, "portula-cmd: a command of %zu bytes; the longest is %zu\n",
                         line.size(), kMaxText);
            return kExitTooLong;
        }
        if (!one(line))
            break;
    }
    return exit;
}

std::string hexAddress(unsigned a) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", a);
    return text;
}

int runScan(Options o, std::uint8_t port) {
    const bool progress = ::isatty(2);
    const unsigned long worst = scanWorstCaseMs(o);
    std::fprintf(stderr, "portula-cmd: scanning %zu addresses at %zu baud rates: at most %.1f s\n",
                 o.addresses.size(), o.bauds.size(), worst / 1000.0);
    if (!o.json)
        std::printf("%-4s %-7s %-8s %s\n", "ADDR", "BAUD", "CHECKSUM", "NAME");
    std::fflush(stdout);
    unsigned found = 0;
    bool first = true;
    for (std::uint32_t baud : o.bauds) {
        if (g_interrupted)
            break;
        // Each rate needs the port opened anew at that rate.
        if (!first) {
            Close_Com(port);
            o.baud = baud;
            if (openPort(o, port) != kExitOk)
                return kExitPortRefused;
        } else if (baud != o.baud) {
            Close_Com(port);
            o.baud = baud;
            if (openPort(o, port) != kExitOk)
                return kExitPortRefused;
        }
        first = false;
        for (std::size_t i = 0; i < o.addresses.size() && !g_interrupted; ++i) {
            const std::string address = hexAddress(o.addresses[i]);
            if (progress) {
                const int filled = static_cast<int>(20 * i / o.addresses.size());
                std::fprintf(stderr, "\r[%-20.*s] %6u baud  address %s  found %u ", filled,
                             "####################", baud, address.c_str(), found);
            }
            for (bool checksum : {false, true}) {
                if (o.scanChecksum != ScanChecksum::Auto &&
                    (o.scanChecksum == ScanChecksum::On) != checksum)
                    continue;
                const unsigned timeout = o.timeoutMs.value_or(scanTimeoutMs(baud, checksum, o.stopBits));
                const Exchange e = exchange(port, "$" + address + "M", o, timeout, checksum);
                if (e.status != UARTCE_OK || e.reply.size() < 3 || e.reply[0] != '!')
                    continue;
                const std::string name = e.reply.substr(3);
                ++found;
                if (progress)
                    std::fprintf(stderr, "\r%60s\r", "");
                if (o.json)
                    std::printf("{\"address\":\"%s\",\"baud\":%u,\"checksum\":%s,\"name\":%s}\n",
                                address.c_str(), baud, checksum ? "true" : "false",
                                jsonString(name).c_str());
                else
                    std::printf("%-4s %-7u %-8s %s\n", address.c_str(), baud,
                                checksum ? "on" : "off", showBytes(name, false).c_str());
                std::fflush(stdout);
                break;
            }
        }
    }
    if (progress)
        std::fprintf(stderr, "\r%60s\r", "");
    std::fprintf(stderr, "portula-cmd: %u module%s found%s\n", found, found == 1 ? "" : "s",
                 g_interrupted ? " before the scan was stopped" : "");
    if (g_interrupted)
        return kExitInterrupted;
    return found > 0 ? kExitOk : kExitNothingFound;
}

int runSoak(const Options& o, std::uint8_t port) {
    const bool live = ::isatty(2);
    const unsigned timeout = o.timeoutMs.value_or(kDefaultTimeoutMs);
    const std::string& text = o.commands.front();
    SoakStats stats;
    const auto start = Clock::now();
    auto next = start;
    auto lastReport = start;
    for (;;) {
        if (g_interrupted || (o.count && stats.sent() >= *o.count))
            break;
        const auto now = Clock::now();
        if (o.durationMs && now - start >= std::chrono::milliseconds(*o.durationMs))
            break;
        if (now < next) {
            const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now);
            timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                        static_cast<long>(wait.count() % 1000000000)};
            ::nanosleep(&ts, nullptr);
            continue;
        }
        next = now + std::chrono::milliseconds(o.intervalMs);
        const Exchange e = exchange(port, text, o, timeout, o.checksum);
        const bool expected = e.status == UARTCE_OK && (!o.expect || e.reply == *o.expect);
        stats.add({e.status, expected, e.roundTripUs});
        if (live && Clock::now() - lastReport > std::chrono::milliseconds(200)) {
            lastReport = Clock::now();
            std::fprintf(stderr, "\rsent %lu  answered %lu  failed %lu  longest run %lu ",
                         stats.sent(), stats.answered(), stats.failures(),
                         stats.longestFailureRun());
        }
        if (e.status == UARTCE_ERR_HANGUP)
            break;
    }
    if (live)
        std::fprintf(stderr, "\r%70s\r", "");
    std::fputs((o.json ? stats.json() : stats.text()).c_str(), stdout);
    if (g_interrupted)
        return kExitInterrupted;
    return stats.failures() == 0 ? kExitOk : kExitSoakFailures;
}

} // namespace

int main(int argc, char** argv) {
    const Parsed parsed = parse(argc, argv);
    if (parsed.exit != kExitOk) {
        std::fprintf(stderr, "portula-cmd: %s (see --help)\n", parsed.error.c_str());
        return parsed.exit;
    }
    const Options& o = parsed.options;
    if (o.help) {
        std::fputs(usageText().c_str(), stdout);
        return kExitOk;
    }
    if (o.mode == Mode::Command && o.commands.empty() && ::isatty(0)) {
        std::fprintf(stderr, "portula-cmd: no command given (see --help)\n");
        return kExitUsage;
    }
    // The library reads the variable at its first call.
    if (!o.trace.empty())
        ::setenv("PORTULA_TRACE", o.trace.c_str(), 1);
    catchInterrupt();
    Options first = o;
    if (o.mode == Mode::Scan)
        first.baud = o.bauds.front();
    std::uint8_t port = 0;
    if (const int refused = openPort(first, port); refused != kExitOk)
        return refused;
    int exit = kExitOk;
    switch (o.mode) {
    case Mode::Command:
        exit = runCommands(o, port);
        break;
    case Mode::Scan:
        exit = runScan(first, port);
        break;
    case Mode::Soak:
        exit = runSoak(o, port);
        break;
    }
    Close_Com(port);
    return exit;
}
