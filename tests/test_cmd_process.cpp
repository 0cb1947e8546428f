// portula-cmd as a program, against the simulator.

#include "support/SimProcess.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <uartce.h>
#include <unistd.h>

namespace {

using testsupport::SimProcess;

struct Finished {
    int exit;
    std::string out;
};

// Runs portula-cmd with the arguments (quoted for the shell), standard error discarded.
Finished run(const std::vector<std::string>& args) {
    std::string line = PORTULA_CMD_PATH;
    for (const std::string& a : args)
        line += " '" + a + "'";
    line += " 2>/dev/null </dev/null";
    FILE* p = ::popen(line.c_str(), "r");
    Finished r{-1, {}};
    if (!p)
        return r;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, p))
        r.out += chunk;
    const int status = ::pclose(p);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(CmdProgram, ExitStatusSaysWhatHappened) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "01,02"});
    ASSERT_FALSE(sim.device().empty());
    const std::string& port = sim.device();
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* out;
    };
    const Case cases[] = {
        {{"-p", port, "$01M"}, 0, "!01PORTULA-SIM-01\n"},
        {{"-p", port, "$01M", "$02F", "$01X"}, 0, "!01PORTULA-SIM-01\n!02A1.07\n?01\n"},
        {{"-p", port, "--hex", "$02M"}, 0, "21 30 32 50 4F 52 54 55 4C 41 2D 53 49 4D 2D 30 32\n"},
        {{"-p", port, "--timeout", "100", "$03M"}, 10, "\n"},
        {{"-p", port, "--timeout", "100", "--checksum", "$01M"}, 12, "?01\n"},
        {{"-p", port, "-b", "19200", "--timeout", "100", "$01M"}, 10, "\n"},
        {{"-p", port, "--bogus", "$01M"}, 2, ""},
        {{"-p", port, "-b", "1000", "$01M"}, 4, ""},
        {{"-p", "/nonexistent/tty", "$01M"}, 6, ""},
    };
    for (const Case& c : cases) {
        const Finished r = run(c.args);
        EXPECT_EQ(r.exit, c.exit) << c.args.back();
        EXPECT_EQ(r.out, c.out) << c.args.back();
    }
    // The dialog's port names reach the same device through the library's map.
    ::setenv("UARTCE_COM12", port.c_str(), 1);
    EXPECT_EQ(
        run({"-p", "COM12", "--json", "$02M"})
            .out.find(
                "{\"command\":\"$02M\",\"reply\":\"!02PORTULA-SIM-02\",\"status\":0,\"rtt_us\":"),
        0u);
    // A port held by another program is refused.
    ASSERT_EQ(Open_Com(12, 9600, 8, 0, 1), UARTCE_OK);
    EXPECT_EQ(run({"-p", "COM12", "$01M"}).exit, 6);
    Close_Com(12);
    ::unsetenv("UARTCE_COM12");
}

TEST(CmdProgram, ScanFindsEveryModuleAndItsChecksumSetting) {
    SimProcess sim(PORTULA_SIM_PATH, {"--baud", "19200", "--address", "03,11,1F", "--checksum"});
    ASSERT_FALSE(sim.device().empty());
    const Finished r = run({"scan", "-p", sim.device(), "--bauds", "9600,19200", "--addresses",
                            "00-1F", "--timeout", "100", "--json"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(
        r.out,
        "{\"address\":\"03\",\"baud\":19200,\"checksum\":true,\"name\":\"PORTULA-SIM-03\"}\n"
        "{\"address\":\"11\",\"baud\":19200,\"checksum\":true,\"name\":\"PORTULA-SIM-11\"}\n"
        "{\"address\":\"1F\",\"baud\":19200,\"checksum\":true,\"name\":\"PORTULA-SIM-1F\"}\n");
    const Finished none = run({"scan", "-p", sim.device(), "--bauds", "9600", "--addresses",
                               "00-03", "--timeout", "50", "--json"});
    EXPECT_EQ(none.exit, 17);
    EXPECT_EQ(none.out, "");
}

TEST(CmdProgram, SoakCountsExactlyTheRepliesALossyLineDrops) {
    SimProcess sim(PORTULA_SIM_PATH, {"--drop-every", "4"});
    ASSERT_FALSE(sim.device().empty());
    const Finished r = run({"soak", "-p", sim.device(), "--count", "20", "--timeout", "150",
                            "--expect", "!01PORTULA-SIM", "--json", "$01M"});
    EXPECT_EQ(r.exit, 16);
    EXPECT_EQ(r.out.find("{\"sent\":20,\"answered\":15,\"timeouts\":5,\"checksum_errors\":0,"
                         "\"unexpected\":0,\"other_errors\":0,\"longest_failure_run\":1,"),
              0u)
        << r.out;
    const Finished wrong =
        run({"soak", "-p", sim.device(), "--count", "3", "--expect", "!01OTHER", "--json", "$01F"});
    EXPECT_EQ(wrong.out.find("{\"sent\":3,\"answered\":0,\"timeouts\":0,\"checksum_errors\":0,"
                             "\"unexpected\":3,"),
              0u)
        << wrong.out;
}

// Ctrl-C in the middle of a scan: the scan stops at once and what it found so far is printed.
TEST(CmdProgram, AnInterruptedScanStopsWithItsResultsSoFar) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "00"});
    ASSERT_FALSE(sim.device().empty());
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::execl(PORTULA_CMD_PATH, PORTULA_CMD_PATH, "scan", "-p", sim.device().c_str(), "--bauds",
                "9600,19200", "--addresses", "00-FF", "--timeout", "100", "--json",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    // The whole scan would take 51 s; stop it as soon as it has found the module at 00.
    const auto started = std::chrono::steady_clock::now();
    std::string text;
    char chunk[512];
    while (text.find('\n') == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            break;
        const ssize_t n = ::read(out[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::kill(pid, SIGINT);
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(text,
              "{\"address\":\"00\",\"baud\":9600,\"checksum\":false,\"name\":\"PORTULA-SIM\"}\n");
}

} // namespace
