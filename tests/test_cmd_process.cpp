// portula-cmd as a program, against the simulator.

#include "rules/Modbus.h"
#include "support/Program.h"
#include "support/PseudoTerminal.h"
#include "support/Ser2net.h"
#include "support/SimProcess.h"
#include "support/TempTree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <uartce.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::PseudoTerminal;
using testsupport::SimProcess;
using testsupport::TempTree;
using Clock = std::chrono::steady_clock;

struct Finished {
    int exit;
    std::string out;
    std::string err;
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Shell text around the command: `before` such as "ulimit -f 1;", `after` a redirection such
// as ">/dev/full" (standard output is read otherwise).
struct Shell {
    std::string before, after;
};

// Runs portula-cmd with the arguments (quoted for the shell) and `input` on standard input, a
// file as a shell redirection makes it.
Finished run(const std::vector<std::string>& args, const std::string& input = "",
             const Shell& shell = {}) {
    char inPath[] = "/tmp/portula-cmd-in-XXXXXX";
    const int in = ::mkstemp(inPath);
    if (in < 0)
        return {-1, {}, {}};
    const bool written = ::write(in, input.data(), input.size()) == ssize_t(input.size());
    ::close(in);
    std::string line = shell.before + PORTULA_CMD_PATH;
    for (const std::string& a : args)
        line += " '" + a + "'";
    line += std::string(" <") + inPath + " " + shell.after;
    Finished r{-1, {}, {}};
    if (written) {
        testsupport::Ran ran = testsupport::runShell(line);
        r = {ran.exit, std::move(ran.out), std::move(ran.err)};
    }
    ::unlink(inPath);
    return r;
}

std::vector<std::string> commandLine(const std::vector<std::string>& args) {
    std::vector<std::string> argv{PORTULA_CMD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// portula-cmd started with pipes on its standard input, output and error, for tests that talk
// to it or signal it while it runs.
class Running : public testsupport::Program {
  public:
    explicit Running(const std::vector<std::string>& args)
        : Program(commandLine(args), {.inputPipe = true}) {}
    // Collects both outputs until the program ends; false when it had not ended by the deadline
    // (it is killed then).
    bool finish(std::chrono::milliseconds within, Finished& result, int& status) {
        const bool ended = Program::finish(within);
        status = rawStatus();
        result = {exitCode(), out(), err()};
        return ended;
    }
};

TEST(CmdProgram, ExitStatusSaysWhatHappened) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "01,02"});
    ASSERT_FALSE(sim.device().empty());
    const std::string& port = sim.device();
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;
        std::string err; // all of standard error
        std::string input = "";
    };
    // Longer than the library's 1024-byte refusal buffer once was; no component over NAME_MAX.
    std::string longPath = "/nonexistent";
    while (longPath.size() < 1500)
        longPath += "/" + std::string(99, 'd');
    const Case cases[] = {
        {.args = {"-p", port, "$01M"}, .exit = 0, .out = "!01PORTULA-SIM-01\n", .err = ""},
        {.args = {"-p", port, "$01M", "$02F", "$01X"},
         .exit = 0,
         .out = "!01PORTULA-SIM-01\n!02A1.07\n?01\n",
         .err = ""},
        {.args = {"-p", port, "--hex", "$02M"},
         .exit = 0,
         .out = "21 30 32 50 4F 52 54 55 4C 41 2D 53 49 4D 2D 30 32\n",
         .err = ""},
        {.args = {"-p", port, "--timeout", "100", "$03M"},
         .exit = 10,
         .out = "\n",
         .err = "portula-cmd: $03M: no reply within 100 ms (status 10)\n"},
        {.args = {"-p", port, "--timeout", "100", "--checksum", "$01M"},
         .exit = 12,
         .out = "?01\n",
         .err = "portula-cmd: $01M: bad checksum in the reply (status 12)\n"},
        {.args = {"-p", port, "-b", "19200", "--timeout", "100", "$01M"},
         .exit = 10,
         .out = "\n",
         .err = "portula-cmd: $01M: no reply within 100 ms (status 10)\n"},
        // The command as it stays on one line.
        {.args = {"-p", port, "--timeout", "100", "--ending", "hex:0A", "$03\tM"},
         .exit = 10,
         .out = "\n",
         .err = "portula-cmd: $03\\tM: no reply within 100 ms (status 10)\n"},
        {.args = {"-p", port, "--bogus", "$01M"},
         .exit = 2,
         .out = "",
         .err = "portula-cmd: unknown option '--bogus' (see --help)\n"},
        {.args = {"-p", port, "-xy", "$01M"},
         .exit = 2,
         .out = "",
         .err = "portula-cmd: unknown option '-x' (see --help)\n"},
        {.args = {"-p", port, "-b", "4000001", "$01M"},
         .exit = 4,
         .out = "",
         .err =
             "portula-cmd: -b: '4000001' is not a baud rate taken: any rate from 50 to 4000000 the "
             "device takes (see --help)\n"},
        // A path is named as given, on one line, without the variable the tool set for it.
        {.args = {"-p", "/nonexistent/tty", "$01M"},
         .exit = 6,
         .out = "",
         .err = "portula-cmd: cannot open /nonexistent/tty: No such file or directory\n"},
        {.args = {"-p", "/nonexistent/\ntty", "$01M"},
         .exit = 6,
         .out = "",
         .err = "portula-cmd: cannot open /nonexistent/\\ntty: No such file or directory\n"},
        {.args = {"-p", longPath, "$01M"},
         .exit = 6,
         .out = "",
         .err = "portula-cmd: cannot open " + longPath + ": No such file or directory\n"},
        // A trace asked for that cannot be written stops the run before it starts.
        {.args = {"-p", port, "--trace", "/nonexistent/trace.jsonl", "$01M"},
         .exit = 2,
         .out = "",
         .err = "portula-cmd: --trace: cannot open /nonexistent/trace.jsonl for appending: No such "
                "file "
                "or directory\n"},
        // Commands from standard input; the library takes a CR-ended command as C text, so a
        // NUL in one is refused rather than cut, and the next line runs as after any failure.
        {.args = {"-p", port},
         .exit = 0,
         .out = "!01PORTULA-SIM-01\n!02PORTULA-SIM-02\n",
         .err = "",
         .input = "$01M\n\n$02M\r\n"},
        {.args = {"-p", port},
         .exit = 2,
         .out = "!01PORTULA-SIM-01\n!01PORTULA-SIM-01\n",
         .err =
             "portula-cmd: $02M\\x00x: a NUL byte cannot go in a command with the CR ending (give "
             "--ending to send it as it is)\n",
         .input = std::string("$01M\n$02M\0x\n$01M\n", 17)},
    };
    for (const Case& c : cases) {
        const Finished r = run(c.args, c.input);
        EXPECT_EQ(r.exit, c.exit) << c.args.back();
        EXPECT_EQ(r.out, c.out) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
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

// Each answer is its own command's: across runs started one after the other, after replies
// later than the time-out, whatever the line adds (pieces of the echo, CR LF endings), and in a
// scan, whenever an answer comes. Runs of a row go one after the other on one simulator.
TEST(CmdProgram, EveryAnswerIsItsOwnCommands) {
    struct Run {
        std::vector<std::string> args; // the port goes after them
        int exit;
        std::string out;
        std::string errHas = ""; // a part of standard error
    };
    struct Case {
        const char* name;
        std::vector<std::string> sim;
        std::vector<Run> runs;
    };
    const Case cases[] = {
        {.name = "ARunAfterAFailedOneDoesNotTakeItsReply",
         .sim = {"--late-every", "1", "--late-ms", "450", "--keep-replies"},
         .runs = {{{"--timeout", "200", "$01M"}, 10, "\n"},
                  {{"--timeout", "500", "$01F"}, 0, "!01A1.07\n"}}},
        {.name = "AReplyLaterThanTheTimeOutIsNotTheNextCommands",
         .sim = {"--late-every", "1", "--late-ms", "450", "--keep-replies"},
         .runs = {{{"$01M", "$01F"}, 10, "\n\n"}}},
        {.name = "PiecesOfTheEchoAreNoAnswer",
         .sim = {"--echo-skip", "1"},
         .runs = {{{"$01M"}, 0, "!01PORTULA-SIM\n"}}},
        {.name = "ASecondEchoIsNoAnswer",
         .sim = {"--double-echo"},
         .runs = {{{"$01M"}, 0, "!01PORTULA-SIM\n"}}},
        {.name = "CrLfEndingsBelongToTheirReplies",
         .sim = {"--ending", "crlf", "--address", "01,02", "--checksum"},
         .runs = {{{"--checksum", "$01M", "$02M", "$01F"},
                   0,
                   "!01PORTULA-SIM-01\n!02PORTULA-SIM-02\n!01A1.07\n"}}},
        {.name = "ALoopbackPlugIsNamed",
         .sim = {"--echo"},
         .runs =
             {{{"--timeout", "100", "$01M"}, 10, "\n", "the line returned the command itself"}}},
        // A slow module asked last is heard by the listen that ends the pass, and a late
        // answer's checksum digits are no part of its name.
        {.name = "AScanHearsLateAnswersAsInTimeOnes",
         .sim = {"--address", "01,02", "--checksum", "--delay-ms", "40", "--keep-replies"},
         .runs =
             {{{"scan", "--addresses", "00-02", "--bauds", "9600", "--checksum", "on", "--timeout",
                "25", "--json"},
               0,
               "{\"address\":\"01\",\"baud\":9600,\"checksum\":true,\"name\":\"PORTULA-SIM-01\","
               "\"late\":true}\n"
               "{\"address\":\"02\",\"baud\":9600,\"checksum\":true,\"name\":\"PORTULA-SIM-02\","
               "\"late\":true}\n"}}},
        // Its ?01 has no checksum: it is not listed with one.
        {.name = "AModuleWithoutChecksumIsNotListedWithOne",
         .sim = {"--address", "01"},
         .runs = {{{"scan", "--addresses", "01", "--bauds", "9600", "--checksum", "on", "--timeout",
                    "60", "--json"},
                   17,
                   ""}}},
    };
    for (const Case& c : cases) {
        SimProcess sim(PORTULA_SIM_PATH, c.sim);
        ASSERT_FALSE(sim.device().empty()) << c.name;
        for (const Run& r : c.runs) {
            std::vector<std::string> args = r.args;
            args.insert(args.begin() + (args.front() == "scan" ? 1 : 0), {"-p", sim.device()});
            const Finished f = run(args);
            EXPECT_EQ(f.exit, r.exit) << c.name << ": " << f.err;
            EXPECT_EQ(f.out, r.out) << c.name << ": " << f.err;
            EXPECT_NE(f.err.find(r.errHas), std::string::npos) << c.name << ": " << f.err;
        }
    }
}

// term reading a script: what each line brings is shown before the next line, and at the end;
// a line far too long is refused whole, never sent in part.
TEST(CmdProgram, TermScriptsLoseNothingAndSendNothingTheyRefused) {
    struct Case {
        const char* name;
        std::vector<std::string> sim;
        std::vector<std::string> args;
        std::string input;
        std::vector<std::string> outHas;
        std::string outLacks;
    };
    const Case cases[] = {
        {.name = "TheLastLinesAnswerIsShown",
         .sim = {"--echo"},
         .args = {"--ending", "lf"},
         .input = "HELLO\n",
         .outHas = {"HELLO\n"},
         .outLacks = "-"},
        {.name = "EachLinesAnswerBeforeTheNextLine",
         .sim = {"--echo"},
         .args = {"--ending", "lf"},
         .input = "A\n:hex on\nB\n",
         .outHas = {"A\nhex on\n00000000  42 0A "},
         .outLacks = "-"},
        {.name = "ALongLinesTailIsNoCommand",
         .sim = {},
         .args = {},
         .input = std::string(69632, 'X') + "$01M\n$01F\n",
         .outHas = {"the longest is 4096", "!01A1.07"},
         .outLacks = "PORTULA-SIM"},
    };
    for (const Case& c : cases) {
        SimProcess sim(PORTULA_SIM_PATH, c.sim);
        ASSERT_FALSE(sim.device().empty()) << c.name;
        std::vector<std::string> args{"term", "-p", sim.device()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Finished f = run(args, c.input);
        EXPECT_EQ(f.exit, 0) << c.name << ": " << f.err;
        for (const std::string& has : c.outHas)
            EXPECT_NE(f.out.find(has), std::string::npos) << c.name << ": " << f.out.substr(0, 300);
        EXPECT_EQ(f.out.find(c.outLacks), std::string::npos) << c.name;
    }
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

// Replies later than the time-out are seen and counted, never taken for the next command's:
// every 5th of 20 replies 450 ms late for a 200 ms time-out; the last one's comes after the end.
TEST(CmdProgram, SoakCountsTheLateRepliesItSetsAside) {
    SimProcess sim(PORTULA_SIM_PATH, {"--late-every", "5", "--late-ms", "450", "--keep-replies"});
    ASSERT_FALSE(sim.device().empty());
    const Finished r = run({"soak", "-p", sim.device(), "--count", "20", "--expect",
                            "!01PORTULA-SIM", "--json", "$01M"});
    EXPECT_EQ(r.exit, 16);
    EXPECT_EQ(r.out.find("{\"sent\":20,\"answered\":16,\"timeouts\":4,\"checksum_errors\":0,"
                         "\"unexpected\":0,\"other_errors\":0,\"longest_failure_run\":1,"
                         "\"late_replies\":3,"),
              0u)
        << r.out;
}

// Ctrl-C in the middle of a scan: the scan stops at once and what it found so far is printed.
TEST(CmdProgram, AnInterruptedScanStopsWithItsResultsSoFar) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "00"});
    ASSERT_FALSE(sim.device().empty());
    Running tool({"scan", "-p", sim.device(), "--bauds", "9600,19200", "--addresses", "00-FF",
                  "--timeout", "100", "--json"});
    // The whole scan would take 51 s; stop it as soon as it has found the module at 00.
    const auto started = std::chrono::steady_clock::now();
    tool.firstLine(10s);
    tool.signal(SIGINT);
    Finished r;
    int status = 0;
    tool.finish(10s, r, status);
    const std::string& text = r.out;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(text,
              "{\"address\":\"00\",\"baud\":9600,\"checksum\":false,\"name\":\"PORTULA-SIM\"}\n");
}

// A device that never stops sending: with an ending other than CR the tool collects the reply
// itself, and it must give up at the time-out (or at the longest reply) however busy the line.
TEST(CmdProgram, AStreamingDeviceCannotHoldACommand) {
    const char* endings[] = {"lf", "none", "hex:0D0A"};
    for (const char* ending : endings) {
        PseudoTerminal pty;
        // Keeps the line up whatever the tool does with its side.
        const int keeper = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(keeper, 0);
        std::atomic<bool> stop{false};
        ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
        std::thread device([&] {
            const std::string stream(65536, 'x'); // no CR, ever; the line kept full
            while (!stop) {
                pollfd p{pty.master(), POLLOUT, 0};
                if (::poll(&p, 1, 50) > 0 && (p.revents & POLLOUT) &&
                    ::write(pty.master(), stream.data(), stream.size()) < 0 && errno != EAGAIN)
                    break;
            }
        });
        Running tool({"-p", pty.path(), "--ending", ending, "--timeout", "200", "$01M"});
        tool.closeInput();
        Finished r;
        int status = 0;
        const bool ended = tool.finish(5s, r, status);
        stop = true;
        device.join();
        ::close(keeper);
        EXPECT_TRUE(ended) << ending << ": still collecting after 5 s";
        // Which of the two depends on whether 2047 bytes came before the time-out.
        EXPECT_TRUE(r.exit == 11 || r.exit == 13) << ending << ": " << r.exit << " " << r.err;
        EXPECT_EQ(r.out.find("xxxx"), 0u) << ending;
        EXPECT_LE(r.out.size(), std::size_t{UARTCE_REPLY_BUFFER_SIZE})
            << ending << ": a reply past the longest";
    }
}

// Ctrl-C stops commands after the one under way and the tool exits 130 with the replies so
// far; SIGTERM ends it at once, as it would any program.
TEST(CmdProgram, SignalsStopCommandsFromEitherSource) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "01"});
    ASSERT_FALSE(sim.device().empty());
    // From the command line: the first answers, the rest would take 10 s without replies.
    std::vector<std::string> many{"-p", sim.device(), "--timeout", "100", "$01M"};
    for (int i = 0; i < 100; ++i)
        many.push_back("$03M");
    const std::vector<std::string> fromInput{"-p", sim.device()};
    struct Case {
        const char* name;
        const std::vector<std::string>& args;
        int signal;
    };
    const Case cases[] = {
        {.name = "arguments, Ctrl-C", .args = many, .signal = SIGINT},
        {.name = "input, Ctrl-C", .args = fromInput, .signal = SIGINT},
        {.name = "arguments, SIGTERM", .args = many, .signal = SIGTERM},
        {.name = "input, SIGTERM", .args = fromInput, .signal = SIGTERM},
    };
    for (const Case& c : cases) {
        Running tool(c.args);
        // The pipe stays open: without the signal the tool would wait for the next line.
        ASSERT_TRUE(tool.send("$01M\n"));
        ASSERT_EQ(tool.firstLine(10s), "!01PORTULA-SIM") << c.name;
        ::kill(tool.pid(), c.signal);
        Finished r;
        int status = 0;
        EXPECT_TRUE(tool.finish(10s, r, status)) << c.name << ": did not stop";
        if (c.signal == SIGTERM) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << c.name;
            continue;
        }
        EXPECT_EQ(r.exit, 130) << c.name << ": " << r.err;
        // At most the command under way when the signal came follows the first reply.
        EXPECT_EQ(r.out.find("!01PORTULA-SIM\n"), 0u) << c.name;
        EXPECT_LE(std::count(r.out.begin(), r.out.end(), '\n'), 2) << c.name << ": " << r.out;
    }
}

// A device that goes away in the middle of a soak: one line says so, the totals still come,
// and the exit status is the hang-up's.
TEST(CmdProgram, ASoakThatLosesItsDeviceSaysSo) {
    PseudoTerminal pty;
    // Keeps the pty's number taken after the hang-up: no other pty appears under the path.
    const int keeper = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(keeper, 0);
    std::thread device([&] {
        for (int answered = 0; answered < 3; ++answered) {
            if (pty.readUntil('\r', 5s) != "$01M\r")
                break;
            pty.write("!01X\r");
        }
        // The fourth command shows the third reply was taken: a hang-up drops unread input.
        pty.readUntil('\r', 5s);
        pty.hangUp();
    });
    const Finished r =
        run({"soak", "-p", pty.path(), "--count", "10", "--timeout", "500", "--json", "$01M"});
    device.join();
    ::close(keeper);
    EXPECT_EQ(r.exit, 14) << r.err;
    EXPECT_EQ(r.out.find("{\"sent\":4,\"answered\":3,\"timeouts\":0,\"checksum_errors\":0,"
                         "\"unexpected\":0,\"other_errors\":1,"),
              0u)
        << r.out;
    EXPECT_EQ(r.err, "portula-cmd: the device hung up after 3 commands\n");
}

// Every failed command gets its line on standard error, whether the results go out as text or
// as JSON, from the command line and from standard input alike.
TEST(CmdProgram, FailuresAreToldOnStandardErrorInEitherFormat) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "01"});
    ASSERT_FALSE(sim.device().empty());
    const std::string failures = "portula-cmd: $03M: no reply within 100 ms (status 10)\n"
                                 "portula-cmd: $04M: no reply within 100 ms (status 10)\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;
    };
    const Case cases[] = {
        {.args = {"-p", sim.device(), "--timeout", "100", "$03M", "$01M", "$04M"}, .input = ""},
        {.args = {"-p", sim.device(), "--timeout", "100"}, .input = "$03M\n$01M\n$04M\n"},
    };
    for (const Case& c : cases) {
        for (const bool json : {false, true}) {
            std::vector<std::string> args = c.args;
            if (json)
                args.insert(args.begin(), "--json");
            const Finished r = run(args, c.input);
            EXPECT_EQ(r.exit, 10) << json << " " << c.input;
            EXPECT_EQ(r.err, failures) << json << " " << c.input;
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
            if (json) {
                EXPECT_EQ(r.out.find("{\"command\":\"$03M\",\"reply\":\"\",\"status\":10,"), 0u)
                    << r.out;
            }
        }
    }
}

// Results that cannot be written are a failure of the run, whatever the commands did: a full
// device, a closed descriptor, a file past the size limit (which must not kill the process).
TEST(CmdProgram, ResultsThatCannotBeWrittenFailTheRun) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "01"});
    ASSERT_FALSE(sim.device().empty());
    const std::string& port = sim.device();
    TempTree dir;
    const std::string limited = dir.path("out.txt");
    std::string many; // more than the 512 bytes `ulimit -f 1` lets through
    for (int i = 0; i < 40; ++i)
        many += "$01M\n";
    const std::string prefix = "portula-cmd: the results could not be written to standard output: ";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        Shell shell;
        const char* reason;
        std::string input = "";
        std::string before = ""; // standard error before the failure
    };
    const Case cases[] = {
        {.name = "commands, full",
         .args = {"-p", port, "$01M", "$01F"},
         .shell = {"", ">/dev/full"},
         .reason = "No space left on device"},
        {.name = "json, full",
         .args = {"--json", "-p", port, "$01M"},
         .shell = {"", ">/dev/full"},
         .reason = "No space left on device"},
        {.name = "soak totals, full",
         .args = {"soak", "-p", port, "--count", "3", "$01M"},
         .shell = {"", ">/dev/full"},
         .reason = "No space left on device"},
        {.name = "scan, full",
         .args = {"scan", "-p", port, "--bauds", "9600", "--addresses", "01", "--timeout", "100"},
         .shell = {"", ">/dev/full"},
         .reason = "No space left on device",
         .input = "",
         .before =
             "portula-cmd: scanning 1 address at 1 baud rate: 0.2 s if none answers, at most 0.2 "
             "s\n"},
        {.name = "term, full",
         .args = {"term", "-p", port},
         .shell = {"", ">/dev/full"},
         .reason = "No space left on device",
         .input = "$01M\n"},
        {.name = "help, full",
         .args = {"--help"},
         .shell = {"", ">/dev/full"},
         .reason = "No space left on device"},
        {.name = "version, full",
         .args = {"--version"},
         .shell = {"", ">/dev/full"},
         .reason = "No space left on device"},
        {.name = "commands, closed",
         .args = {"-p", port, "$01M"},
         .shell = {"", ">&-"},
         .reason = "Bad file descriptor"},
        {.name = "soak totals, closed",
         .args = {"soak", "-p", port, "--count", "2", "$01M"},
         .shell = {"", ">&-"},
         .reason = "Bad file descriptor"},
        {.name = "input, size limit",
         .args = {"-p", port},
         .shell = {"ulimit -f 1; ", ">" + limited},
         .reason = "File too large",
         .input = many},
    };
    for (const Case& c : cases) {
        const Finished r = run(c.args, c.input, c.shell);
        EXPECT_EQ(r.exit, 18) << c.name << ": " << r.err;
        EXPECT_EQ(r.err, c.before + prefix + c.reason + "\n") << c.name;
    }
    // What fitted under the limit is there, and no more.
    EXPECT_EQ(readAll(limited).size(), 512u);
}

// The trace preflight opens nothing that could block it or that is not a file: a FIFO with no
// reader used to hold the tool for good.
TEST(CmdProgram, ATraceGoesToAFileOrACharacterDevice) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "01"});
    ASSERT_FALSE(sim.device().empty());
    TempTree dir;
    const std::string fifo = dir.path("fifo");
    const std::string readFifo = dir.path("read-fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(readFifo.c_str(), 0600), 0);
    const int reader = ::open(readFifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::string socketPath = dir.path("socket");
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string folder = dir.mkdir("folder");
    const std::string created = dir.path("new.jsonl");
    struct Case {
        std::string trace;
        int exit;
        std::string err;
    };
    const auto notAFile = [](const std::string& path, const char* kind) {
        return "portula-cmd: --trace: " + path + " is " + kind +
               ", not a regular file or a character device\n";
    };
    const Case cases[] = {
        {.trace = fifo, .exit = 2, .err = notAFile(fifo, "a FIFO")},
        {.trace = readFifo, .exit = 2, .err = notAFile(readFifo, "a FIFO")},
        {.trace = socketPath, .exit = 2, .err = notAFile(socketPath, "a socket")},
        {.trace = folder, .exit = 2, .err = notAFile(folder, "a folder")},
        {.trace = "/dev/null", .exit = 0, .err = ""},
        {.trace = created, .exit = 0, .err = ""},
    };
    for (const Case& c : cases) {
        Running tool({"-p", sim.device(), "--trace", c.trace, "$01M"});
        tool.closeInput();
        Finished r;
        int status = 0;
        EXPECT_TRUE(tool.finish(10s, r, status)) << c.trace << ": still running after 10 s";
        EXPECT_EQ(r.exit, c.exit) << c.trace;
        EXPECT_EQ(r.err, c.err) << c.trace;
        EXPECT_EQ(r.out, c.exit == 0 ? "!01PORTULA-SIM\n" : "") << c.trace;
    }
    struct stat made {};
    ASSERT_EQ(::stat(created.c_str(), &made), 0);
    EXPECT_TRUE(S_ISREG(made.st_mode));
    EXPECT_NE(readAll(created).find("\"call\":\"Send_Receive_Cmd\""), std::string::npos);
    ::close(reader);
    ::close(listening);
}

// A line from standard input longer than the longest command is refused once it passes the
// limit, the rest of it is read past, and the next lines run like those after any failed
// command.
TEST(CmdProgram, AnOverlongInputLineIsRefusedAndTheRunGoesOn) {
    SimProcess sim(PORTULA_SIM_PATH, {"--address", "01,02"});
    ASSERT_FALSE(sim.device().empty());
    const std::string refused =
        "portula-cmd: a command of more than 4096 bytes; the longest is 4096\n";
    const std::string longest = "$01" + std::string(4093, 'x'); // 4096 bytes, answered "?01"
    struct Case {
        const char* name;
        std::string input;
        int exit;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {.name = "the longest",
         .input = longest + "\n$02M\n",
         .exit = 0,
         .out = "?01\n!02PORTULA-SIM-02\n",
         .err = ""},
        {.name = "the longest and CR",
         .input = longest + "\r\n",
         .exit = 0,
         .out = "?01\n",
         .err = ""},
        {.name = "one byte more",
         .input = longest + "x\n$02M\n",
         .exit = 5,
         .out = "!02PORTULA-SIM-02\n",
         .err = refused},
        {.name = "one byte more and CR",
         .input = longest + "x\r\n$02M\n",
         .exit = 5,
         .out = "!02PORTULA-SIM-02\n",
         .err = refused},
        {.name = "several chunks",
         .input = "$01M\n" + std::string(100000, 'y') + "\n$02M\n",
         .exit = 5,
         .out = "!01PORTULA-SIM-01\n!02PORTULA-SIM-02\n",
         .err = refused},
        {.name = "at the end without LF",
         .input = "$02M\n" + std::string(5000, 'y'),
         .exit = 5,
         .out = "!02PORTULA-SIM-02\n",
         .err = refused},
    };
    for (const Case& c : cases) {
        const Finished r = run({"-p", sim.device()}, c.input);
        EXPECT_EQ(r.exit, c.exit) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }

    // 100 MiB in one line: memory stays that of a short run and the whole line is read in
    // time that only linear work allows (quadratic buffering needed close to a minute).
    long shortRunKiB = 0;
    {
        Running tool({"-p", sim.device()});
        ASSERT_TRUE(tool.send("$01M\n"));
        tool.closeInput();
        Finished r;
        int status = 0;
        ASSERT_TRUE(tool.finish(10s, r, status));
        shortRunKiB = tool.maxResidentKiB();
    }
    // A tool that ends early must fail the test, not end it with SIGPIPE.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    Running tool({"-p", sim.device()});
    const auto deadline = Clock::now() + 20s;
    // Non-blocking, so that a tool that stops reading cannot hold the test past its deadline.
    ::fcntl(tool.input(), F_SETFL, ::fcntl(tool.input(), F_GETFL) | O_NONBLOCK);
    std::size_t written = 0;
    auto feed = [&](std::string_view bytes) {
        while (!bytes.empty() && Clock::now() < deadline) {
            pollfd p{tool.input(), POLLOUT, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::write(tool.input(), bytes.data(), bytes.size());
            if (n < 0 && errno != EAGAIN)
                return false;
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                bytes.remove_prefix(static_cast<std::size_t>(n));
            }
        }
        return bytes.empty();
    };
    const std::string filler(1u << 20, 'z');
    bool fed = feed("$01M\n");
    for (int mib = 0; fed && mib < 100; ++mib)
        fed = feed(filler);
    fed = fed && feed("\n$02M\n");
    tool.closeInput();
    Finished r;
    int status = 0;
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    const bool ended = tool.finish(std::max(left, milliseconds(1000)), r, status);
    std::signal(SIGPIPE, previous);
    EXPECT_TRUE(fed) << "the tool stopped reading after " << written << " bytes";
    EXPECT_TRUE(ended) << "not done within 20 s";
    EXPECT_EQ(r.exit, 5);
    EXPECT_EQ(r.out, "!01PORTULA-SIM-01\n!02PORTULA-SIM-02\n");
    EXPECT_EQ(r.err, refused);
    EXPECT_LT(tool.maxResidentKiB() - shortRunKiB, 16 * 1024)
        << "held " << tool.maxResidentKiB() << " KiB against " << shortRunKiB << " KiB";
}

} // namespace

namespace {

// Any rate and flow control reach the line, escapes spell the bytes that go, and a setting the
// device does not keep refuses the port with its words. The test plays the device.
TEST(CmdProgram, RatesFramingAndEscapesReachTheLine) {
    PseudoTerminal pty;
    Finished r = run({"-p", pty.path(), "-b", "14400", "--flow", "rts-cts", "--escapes", "--ending",
                      "none", "--timeout", "50", R"(A\x02B\\)"});
    EXPECT_EQ(r.exit, 10) << r.err;
    EXPECT_EQ(pty.read(4, 2s), "A\x02"
                               "B\\");
    // The pseudo-terminal keeps the settings it was last given.
    const int slave = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(slave, &t), 0);
    ::close(slave);
    EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t(CBAUDEX)) << "an arbitrary rate (BOTHER)";
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

    // From standard input: a bad escape is refused and the next line still goes.
    r = run({"-p", pty.path(), "--escapes", "--ending", "none", "--timeout", "50"},
            "$0\\q\nC\\x41\n");
    EXPECT_EQ(r.exit, 2) << r.err;
    EXPECT_NE(r.err.find("portula-cmd: $0\\\\q: '\\q' is not an escape"), std::string::npos)
        << r.err;
    EXPECT_EQ(pty.read(2, 2s), "CA");

    r = run({"-p", pty.path(), "--parity", "mark", "$01M"});
    EXPECT_EQ(r.exit, 6);
    EXPECT_NE(r.err.find("mark parity (it keeps no parity)"), std::string::npos) << r.err;
}

} // namespace

namespace {

// What 10 s of a line at 3,000,000 baud carries: 300,000 bytes a second with a start and a
// stop bit to each byte.
constexpr std::uint32_t kFastRate = 3000000;
constexpr std::size_t kTenSecondsOfBytes = kFastRate / 10 * 10;

// Where two byte streams first differ, with a little of each around it; empty when they agree.
std::string firstDifference(const std::string& expected, const std::string& got) {
    if (expected == got)
        return {};
    const auto at = static_cast<std::size_t>(
        std::mismatch(expected.begin(), expected.end(), got.begin(), got.end()).first -
        expected.begin());
    const std::size_t from = at > 40 ? at - 40 : 0;
    return "expected " + std::to_string(expected.size()) + " bytes, got " +
           std::to_string(got.size()) + "; first difference at byte " + std::to_string(at) +
           "\n  expected ..." + expected.substr(from, 100) + "\n  got      ..." +
           got.substr(from, 100);
}

// Writes all of it to a non-blocking descriptor as fast as the other side takes it; false when
// stopped, or when nothing went for 10 s.
bool writeAllTo(int fd, std::string_view bytes, const std::atomic<bool>& stop) {
    while (!bytes.empty() && !stop) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 10000) <= 0)
            return false;
    }
    return bytes.empty();
}

// Turns a message line's escapes (\r, \n, \t, \\, \xNN) back into their bytes.
std::string unescaped(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size()) {
            bytes += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            bytes += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
        }
    }
    return bytes;
}

// The bytes the --log file says came in, in its order: "TIME < ESCAPED" lines.
std::string receivedInLog(const std::string& log) {
    std::string bytes;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.find(' ');
        if (space != std::string::npos && line.compare(space, 3, " < ") == 0)
            bytes += unescaped(std::string_view(line).substr(space + 3));
    }
    return bytes;
}

// term prints and logs what the line receives. A device streams numbered lines at 3 Mbaud,
// as fast as the pseudo-terminal takes them: every byte reaches the screen and the log, once
// and in order.
TEST(CmdProgram, TermKeepsEveryByteOfAFastLine) {
    std::string stream;
    stream.reserve(kTenSecondsOfBytes + 64);
    std::string shown; // the screen's lines without their ends
    for (unsigned i = 0; stream.size() < kTenSecondsOfBytes; ++i) {
        char line[40];
        std::snprintf(line, sizeof line, "L%07u abcdefghijklmnopqrst", i);
        stream += line + std::string("\r\n");
        shown += line;
    }
    const std::string lastLine = stream.substr(stream.rfind('L', stream.size() - 3));
    PseudoTerminal pty;
    // Keeps the line up until term has opened it; it reads nothing.
    const int keeper = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(keeper, 0);
    TempTree folder;
    const std::string log = folder.path("line.log");
    Running term({"term", "-p", pty.path(), "-b", std::to_string(kFastRate), "--ending", "lf",
                  "--log", log});
    // A line sent from the script shows the port is open, and nothing the device sends from
    // here on can be flushed away by the open.
    ASSERT_TRUE(term.send("READY\n"));
    const std::string ready = pty.readUntil('\n', 10s);
    ::close(keeper);
    ASSERT_EQ(ready, "READY\n") << term.firstLine(0ms);

    ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    bool written = false;
    std::thread device([&] { written = writeAllTo(pty.master(), stream, stop); });
    // The screen's lines end in LF; a line that waits long for its end may show in two pieces.
    const std::string screenEnd = lastLine.substr(0, lastLine.size() - 2) + "\n";
    const bool all = term.readUntil(
        [&](const std::string& out) {
            return out.size() >= screenEnd.size() &&
                   out.compare(out.size() - screenEnd.size(), screenEnd.size(), screenEnd) == 0;
        },
        60s);
    stop = true;
    device.join();
    EXPECT_TRUE(written) << "the line stopped taking bytes";
    term.closeInput();
    Finished r;
    int status = 0;
    ASSERT_TRUE(term.finish(10s, r, status)) << r.err;
    EXPECT_TRUE(all) << "the last line did not show within 60 s";
    EXPECT_EQ(r.exit, 0) << r.err;
    std::string screen = r.out;
    std::erase(screen, '\n');
    EXPECT_EQ(firstDifference(shown, screen), "") << "on the screen";
    EXPECT_EQ(firstDifference(stream, receivedInLog(readAll(log))), "") << "in the log";
}

// Standard-input mode prints only the replies to its commands; what else comes is set aside.
// So the fast line's bytes come as replies: 1,500 commands each answered with a reply of 2,003
// numbered bytes, 3 MB in all, answered as fast as the pseudo-terminal takes them.
TEST(CmdProgram, StandardInputModeKeepsEveryByteOfFastReplies) {
    constexpr unsigned kCommands = 1500;
    const auto replyTo = [](unsigned command) {
        std::string reply = "!01";
        char block[16];
        for (unsigned k = 0; k < 200; ++k) {
            std::snprintf(block, sizeof block, "%05u.%03u ", command, k);
            reply += block;
        }
        return reply;
    };
    std::string commands, expected;
    for (unsigned i = 0; i < kCommands; ++i) {
        char command[16];
        std::snprintf(command, sizeof command, "$01R%05u\n", i);
        commands += command;
        expected += replyTo(i) + "\n";
    }
    ASSERT_GE(expected.size(), kTenSecondsOfBytes);
    PseudoTerminal pty;
    ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::string deviceError;
    // The device answers each command as it comes, with the reply its number calls for.
    std::thread device([&] {
        std::string pending;
        char chunk[4096];
        for (unsigned answered = 0; answered < kCommands && !stop;) {
            pollfd p{pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(pty.master(), chunk, sizeof chunk);
            if (n > 0)
                pending.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t cr; (cr = pending.find('\r')) != std::string::npos;) {
                const std::string command = pending.substr(0, cr);
                pending.erase(0, cr + 1);
                unsigned number = 0;
                if (std::sscanf(command.c_str(), "$01R%5u", &number) != 1) {
                    deviceError = "not a command: " + command;
                    return;
                }
                if (!writeAllTo(pty.master(), replyTo(number) + "\r", stop)) {
                    deviceError = "the line stopped taking bytes";
                    return;
                }
                ++answered;
            }
        }
    });
    Running tool({"-p", pty.path(), "-b", std::to_string(kFastRate), "--timeout", "5000"});
    ASSERT_TRUE(tool.send(commands));
    tool.closeInput();
    Finished r;
    int status = 0;
    const bool ended = tool.finish(120s, r, status);
    stop = true;
    device.join();
    EXPECT_TRUE(ended) << "still running after 120 s";
    EXPECT_EQ(deviceError, "");
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(firstDifference(expected, r.out), "");
}

// The lines of a text, sorted: buses answer in any order.
std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string moduleLine(const std::string& port, const char* address, const char* baud,
                       const char* name) {
    return "{\"port\":\"" + port + "\",\"address\":\"" + address + "\",\"baud\":" + baud +
           ",\"checksum\":false,\"name\":\"" + name + "\",\"firmware\":\"A1.07\"}";
}

// A plant's buses scanned at once: local ports and ports behind ser2net (RFC 2217, and raw TCP
// scanned once at the server's rate), each module listed with the port it was found on and its
// firmware, none invented; a bus that cannot be opened is told while the others go on.
TEST(CmdPlant, EveryBusAtOnceEachModuleOnItsOwnBus) {
    SimProcess local(PORTULA_SIM_PATH, {"--address", "01,02"});
    SimProcess fast(PORTULA_SIM_PATH, {"--address", "03", "--baud", "19200"});
    SimProcess behindRfc(PORTULA_SIM_PATH, {"--address", "04"});
    SimProcess behindRaw(PORTULA_SIM_PATH, {"--address", "05"});
    for (const SimProcess* sim : {&local, &fast, &behindRfc, &behindRaw})
        ASSERT_FALSE(sim->device().empty());
    testsupport::Ser2net server({{testsupport::Ser2net::Protocol::Rfc2217, behindRfc.device()},
                                 {testsupport::Ser2net::Protocol::Raw, behindRaw.device()}});
    ASSERT_TRUE(server.running()) << server.log();
    const Finished r = run({"scan", "-p", local.device(), "-p", fast.device(), "-p", server.url(0),
                            "-p", server.url(1), "-p", "/nonexistent/tty", "--bauds", "9600,19200",
                            "--addresses", "00-07", "--checksum", "off", "--json"});
    EXPECT_EQ(r.exit, 20) << r.err;
    EXPECT_EQ(sortedLines(r.out),
              sortedLines(moduleLine(local.device(), "01", "9600", "PORTULA-SIM-01") + "\n" +
                          moduleLine(local.device(), "02", "9600", "PORTULA-SIM-02") + "\n" +
                          moduleLine(fast.device(), "03", "19200", "PORTULA-SIM") + "\n" +
                          moduleLine(server.url(0), "04", "9600", "PORTULA-SIM") + "\n" +
                          moduleLine(server.url(1), "05", "null", "PORTULA-SIM") + "\n"));
    EXPECT_NE(r.err.find("portula-cmd: /nonexistent/tty: cannot open /nonexistent/tty"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("/nonexistent/tty: 0 modules found, the scan failed (status 6)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("scanning 8 addresses"), std::string::npos) << "a worker's estimate";
}

// The inventory saved is what a later scan is compared with: a module added, one missing and
// one changed (found at another rate) make the plant differ (19); the same plant matches (0).
TEST(CmdPlant, ComparedWithTheInventorySaved) {
    TempTree folder;
    const std::string saved = folder.path("plant.json");
    const std::vector<std::string> scan = {"--bauds", "9600,19200", "--addresses",
                                           "00-07",   "--checksum", "off"};
    const auto withPorts = [&](const SimProcess& a, const SimProcess& b,
                               std::vector<std::string> more) {
        std::vector<std::string> args{"scan", "-p", a.device(), "-p", b.device()};
        args.insert(args.end(), scan.begin(), scan.end());
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    std::string first, second;
    {
        SimProcess a(PORTULA_SIM_PATH, {"--address", "01,02"});
        SimProcess b(PORTULA_SIM_PATH, {"--address", "03"});
        const Finished r = run(withPorts(a, b, {"--save", saved}));
        ASSERT_EQ(r.exit, 0) << r.err;
        EXPECT_EQ(run(withPorts(a, b, {"--compare", saved})).exit, 0) << "the same plant";
        first = a.device();
        second = b.device();
    }
    // The ports are found again under the names they were saved with.
    std::string text = readAll(saved);
    SimProcess a(PORTULA_SIM_PATH, {"--address", "01,06"});
    SimProcess b(PORTULA_SIM_PATH, {"--address", "03", "--baud", "19200"});
    for (const auto& [was, is] : {std::pair{first, a.device()}, std::pair{second, b.device()}})
        for (std::size_t at; (at = text.find("\"" + was + "\"")) != std::string::npos;)
            text.replace(at + 1, was.size(), "@" + is);
    for (std::size_t at; (at = text.find("\"@")) != std::string::npos;)
        text.erase(at + 1, 1);
    std::ofstream(saved) << text;
    const Finished r = run(withPorts(a, b, {"--compare", saved}));
    EXPECT_EQ(r.exit, 19) << r.err;
    EXPECT_EQ(r.out, "added   " + a.device() + " 06 9600 checksum off PORTULA-SIM-06 A1.07\n" +
                         "missing " + a.device() + " 02 9600 checksum off PORTULA-SIM-02 A1.07\n" +
                         "changed " + b.device() + " 03: baud 9600 -> 19200\n");
    EXPECT_NE(r.err.find("1 added, 1 missing, 1 changed"), std::string::npos) << r.err;
}

// Ctrl-C stops every bus: what was found so far is printed and the run ends with 130.
TEST(CmdPlant, CtrlCStopsEveryBus) {
    SimProcess a(PORTULA_SIM_PATH, {"--address", "00"});
    SimProcess b(PORTULA_SIM_PATH, {"--address", "FF"});
    // Two buses of 51 s each; stopped as soon as the first module is found.
    Running tool({"scan", "-p", a.device(), "-p", b.device(), "--bauds", "9600,19200",
                  "--addresses", "00-FF", "--timeout", "100", "--json"});
    ASSERT_NE(tool.firstLine(20s), "") << tool.err();
    const auto stopped = Clock::now();
    tool.signal(SIGINT);
    Finished r;
    int status = 0;
    ASSERT_TRUE(tool.finish(20s, r, status)) << r.err;
    EXPECT_LT(Clock::now() - stopped, 10s);
    EXPECT_EQ(r.exit, 130) << r.err;
    EXPECT_EQ(r.out, moduleLine(a.device(), "00", "9600", "PORTULA-SIM") + "\n");
    EXPECT_NE(r.err.find(b.device() + ": 0 modules found before the scan was stopped"),
              std::string::npos)
        << r.err;
}

} // namespace

namespace {

// A Modbus slave on the master side of a pseudo-terminal, played by the test: each whole request
// frame that comes gets the answer its table gives, none for a request it does not know.
struct Answer {
    std::string request, reply;
    bool badCheck = false; // the reply's CRC or LRC is wrong
};
class TableSlave {
  public:
    TableSlave(const PseudoTerminal& pty, portula::ModbusMode mode, std::vector<Answer> answers)
        : m_thread([this, &pty, mode, answers = std::move(answers)] {
              std::string heard;
              while (!m_stop) {
                  pollfd p{pty.master(), POLLIN, 0};
                  if (::poll(&p, 1, 20) <= 0)
                      continue;
                  char chunk[256];
                  const ssize_t n = ::read(pty.master(), chunk, sizeof chunk);
                  if (n <= 0)
                      continue;
                  heard.append(chunk, static_cast<std::size_t>(n));
                  for (const Answer& a : answers) {
                      if (!heard.ends_with(portula::modbusFrame(mode, a.request)))
                          continue;
                      std::string reply = portula::modbusFrame(mode, a.reply);
                      if (a.badCheck)
                          reply[reply.size() - (mode == portula::ModbusMode::Rtu ? 1 : 3)] ^= 1;
                      pty.write(reply);
                      heard.clear();
                  }
                  // A request it does not answer is left behind once its frame has ended.
                  if (mode == portula::ModbusMode::Ascii ? heard.ends_with("\r\n")
                                                         : heard.size() >= 8)
                      heard.clear();
              }
          }) {}
    ~TableSlave() {
        m_stop = true;
        m_thread.join();
    }
    TableSlave(const TableSlave&) = delete;
    TableSlave& operator=(const TableSlave&) = delete;

  private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::string hex(const char* text) {
    return portula::parseHexBytes(text).value();
}

// Requests as hex bytes, on the command line or a line each on standard input; replies printed
// as hex without their CRC or LRC, and the exit status of the first failure, an exception's own.
TEST(CmdProgram, ModbusRequestsAndTheirReplies) {
    const std::vector<Answer> table = {
        {.request = hex("01 03 00 00 00 02"), .reply = hex("01 03 04 00 0A 00 0B")},
        {.request = hex("01 06 00 01 00 03"), .reply = hex("01 06 00 01 00 03")},
        {.request = hex("01 03 FF 00 00 01"), .reply = hex("01 83 02")},
        {.request = hex("02 03 00 00 00 01"), .reply = hex("02 03 02 00 01"), .badCheck = true},
    };
    struct Case {
        const char* name;
        const char* mode;
        std::vector<std::string> args;
        std::string input = "";
        int exit;
        std::string out;
        std::string err = "";
    };
    const Case cases[] = {
        {.name = "rtu, two requests",
         .mode = "rtu",
         .args = {"--line-echo", "0", "01 03 00 00 00 02", "0106000100 03"},
         .exit = 0,
         .out = "01 03 04 00 0A 00 0B\n01 06 00 01 00 03\n"},
        {.name = "ascii, two requests",
         .mode = "ascii",
         .args = {"--line-echo", "0", "01 03 00 00 00 02", "01 06 00 01 00 03"},
         .exit = 0,
         .out = "01 03 04 00 0A 00 0B\n01 06 00 01 00 03\n"},
        {.name = "a write's repeat on a line whose echo is not known yet",
         .mode = "rtu",
         .args = {"01 03 00 00 00 02", "01 06 00 01 00 03"},
         .exit = 22,
         .out = "01 03 04 00 0A 00 0B\n\n",
         .err = "portula-cmd: 01 06 00 01 00 03: the write's repeat came back on a line whose "
                "echo is not known: its echo or the reply (status 19)\n"},
        {.name = "an exception",
         .mode = "rtu",
         .args = {"01 03 ff 00 00 01", "01 03 00 00 00 02"},
         .exit = 21,
         .out = "01 83 02\n01 03 04 00 0A 00 0B\n",
         .err = "portula-cmd: 01 03 FF 00 00 01: the slave answered with exception 2: illegal "
                "data address (status 18)\n"},
        {.name = "a slave that does not answer",
         .mode = "rtu",
         .args = {"07 03 00 00 00 02"},
         .exit = 10,
         .out = "\n",
         .err = "portula-cmd: 07 03 00 00 00 02: no reply within 100 ms (status 10)\n"},
        {.name = "a bad CRC, then a good reply",
         .mode = "rtu",
         .args = {"02 03 00 00 00 01", "01 03 00 00 00 02"},
         .exit = 12,
         .out = "02 03 02 00 01 3D 85\n01 03 04 00 0A 00 0B\n",
         .err = "portula-cmd: 02 03 00 00 00 01: bad checksum in the reply (status 12)\n"},
        {.name = "a bad LRC",
         .mode = "ascii",
         .args = {"02 03 00 00 00 01"},
         .exit = 12,
         .out = "3A 30 32 30 33 30 32 30 30 30 31 46 39 0D 0A\n",
         .err = "portula-cmd: 02 03 00 00 00 01: bad checksum in the reply (status 12)\n"},
        {.name = "a broadcast",
         .mode = "rtu",
         .args = {"00 06 00 01 00 03"},
         .exit = 0,
         .out = "\n"},
        {.name = "standard input, json",
         .mode = "ascii",
         .args = {"--json"},
         .input = "01 03 00 00 00 02\nzz\n\n01 03 FF 00 00 01\n",
         .exit = 2,
         .out = "{\"command\":\"01 03 00 00 00 02\",\"reply\":\"01 03 04 00 0A 00 0B\","
                "\"status\":0,\"rtt_us\":RTT}\n"
                "{\"command\":\"01 03 FF 00 00 01\",\"reply\":\"01 83 02\",\"status\":18,"
                "\"exception\":2,\"rtt_us\":RTT}\n",
         .err = "portula-cmd: zz: not a request in hex bytes, such as '05 03 00 00 00 0A'\n"
                "portula-cmd: 01 03 FF 00 00 01: the slave answered with exception 2: illegal "
                "data address (status 18)\n"},
    };
    for (const Case& c : cases) {
        PseudoTerminal pty;
        const TableSlave slave(pty,
                               std::string(c.mode) == "rtu" ? portula::ModbusMode::Rtu
                                                            : portula::ModbusMode::Ascii,
                               table);
        std::vector<std::string> args = {"-p", pty.path(), "--timeout", "100", "--modbus", c.mode};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Finished r = run(args, c.input);
        EXPECT_EQ(r.exit, c.exit) << c.name << ": " << r.err;
        // Round trips vary: each is a number.
        std::string out = r.out;
        for (std::size_t at = 0; (at = out.find("\"rtt_us\":", at)) != std::string::npos;) {
            at += 9;
            const std::size_t end = out.find_first_not_of("0123456789", at);
            EXPECT_GT(end, at) << c.name;
            out.replace(at, end - at, "RTT");
        }
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

// A Modbus scan lists every slave on the line once, with the framing it answered at, and no
// other: slaves at known ids of simulators at 19200 baud, asked at two rates. A pseudo-terminal
// keeps no parity bit, so the even pass is told as not scanned; the stop bits it does keep.
TEST(CmdProgram, ModbusScanFindsEverySlaveAtItsFraming) {
    struct Case {
        const char* name;
        std::vector<std::string> sim;
        std::vector<std::string> args;
        int exit;
        std::string out;
        std::string errHas = "";
    };
    const Case cases[] = {
        {.name = "rtu, two rates",
         .sim = {"--modbus", "rtu", "--baud", "19200", "--address", "3,17,200"},
         .args = {"--modbus", "rtu", "--bauds", "9600,19200", "--addresses", "1-20,199-201"},
         .exit = 0,
         .out = "ID   BAUD    PARITY STOP ANSWER\n"
                "3    19200   none   1    03 03 02 01 2C\n"
                "17   19200   none   1    11 03 02 06 A4\n"
                "200  19200   none   1    C8 03 02 4E 20\n",
         .errHas = "19200 baud, even parity not scanned"},
        {.name = "ascii, two rates, json",
         .sim = {"--modbus", "ascii", "--baud", "19200", "--address", "1,247"},
         .args = {"--modbus", "ascii", "--bauds", "9600,19200", "--parities", "none", "--addresses",
                  "1-4,240-247", "--json"},
         .exit = 0,
         .out = "{\"id\":1,\"baud\":19200,\"parity\":\"none\",\"stop_bits\":1,"
                "\"reply\":\"01 03 02 00 64\"}\n"
                "{\"id\":247,\"baud\":19200,\"parity\":\"none\",\"stop_bits\":1,"
                "\"reply\":\"F7 03 02 60 7C\"}\n",
         .errHas = "2 slaves found"},
        {.name = "two stop bits are asked with --stop-bits 2",
         .sim = {"--modbus", "rtu", "--stop-bits", "2", "--address", "9"},
         .args = {"--modbus", "rtu", "--bauds", "9600", "--parities", "none", "--stop-bits", "2",
                  "--addresses", "8-10", "--json"},
         .exit = 0,
         .out = "{\"id\":9,\"baud\":9600,\"parity\":\"none\",\"stop_bits\":2,"
                "\"reply\":\"09 03 02 03 84\"}\n"},
        {.name = "a slave at another framing is not found",
         .sim = {"--modbus", "rtu", "--stop-bits", "2", "--address", "9"},
         .args = {"--modbus", "rtu", "--bauds", "9600", "--parities", "none", "--addresses", "8-10",
                  "--json"},
         .exit = 17,
         .out = "",
         .errHas = "0 slaves found"},
        {.name = "ascii slaves are not heard in rtu",
         .sim = {"--modbus", "ascii", "--address", "1"},
         .args = {"--modbus", "rtu", "--bauds", "9600", "--parities", "none", "--addresses", "1-3",
                  "--json"},
         .exit = 17,
         .out = ""},
        {.name = "no framing the device takes",
         .sim = {"--modbus", "rtu", "--address", "1"},
         .args = {"--modbus", "rtu", "--bauds", "9600", "--parities", "even,odd", "--addresses",
                  "1"},
         .exit = 6,
         .out = "ID   BAUD    PARITY STOP ANSWER\n",
         .errHas = "9600 baud, odd parity not scanned"},
    };
    for (const Case& c : cases) {
        SimProcess sim(PORTULA_SIM_PATH, c.sim);
        ASSERT_FALSE(sim.device().empty()) << c.name;
        std::vector<std::string> args{"scan", "-p", sim.device()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Finished r = run(args);
        EXPECT_EQ(r.exit, c.exit) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << c.name << ": " << r.err;
    }
}

// A slave that answers the scan's read with an exception is there: it is listed with it.
TEST(CmdProgram, ModbusScanListsASlaveThatAnswersWithAnException) {
    for (const auto mode : {portula::ModbusMode::Rtu, portula::ModbusMode::Ascii}) {
        const char* name = mode == portula::ModbusMode::Rtu ? "rtu" : "ascii";
        PseudoTerminal pty;
        const TableSlave slave(pty, mode,
                               {{.request = hex("05 03 00 00 00 01"), .reply = hex("05 83 02")},
                                {.request = hex("06 03 00 00 00 01"),
                                 .reply = hex("06 03 02 00 07"),
                                 .badCheck = true}});
        const Finished r = run({"scan", "-p", pty.path(), "--modbus", name, "--bauds", "9600",
                                "--parities", "none", "--addresses", "4-7", "--json"});
        EXPECT_EQ(r.exit, 0) << name << ": " << r.err;
        // Slave 6's reply fails its CRC or LRC: nothing proves it is slave 6's.
        EXPECT_EQ(r.out, "{\"id\":5,\"baud\":9600,\"parity\":\"none\",\"stop_bits\":1,"
                         "\"reply\":\"05 83 02\",\"exception\":2}\n")
            << name << ": " << r.err;
    }
}

// soak --modbus repeats one request and counts as for text commands: a reply lost on the line
// is a time-out, a slave's exception is unexpected unless --expect gives it, and a reply other
// than --expect's is unexpected.
TEST(CmdProgram, ModbusSoakCountsAsForTextCommands) {
    struct Case {
        const char* name;
        std::vector<std::string> sim;
        std::vector<std::string> args;
        int exit;
        std::string totals; // how the JSON totals begin
    };
    const Case cases[] = {
        {.name = "every reply the one expected",
         .sim = {"--modbus", "rtu", "--address", "5"},
         .args = {"--modbus", "rtu", "--expect", "05 03 02 01 F4", "05 03 00 00 00 01"},
         .exit = 0,
         .totals = "{\"sent\":8,\"answered\":8,\"timeouts\":0,\"checksum_errors\":0,"
                   "\"unexpected\":0,\"other_errors\":0,\"longest_failure_run\":0,"},
        {.name = "a lossy line, ascii",
         .sim = {"--modbus", "ascii", "--address", "5", "--drop-every", "4"},
         .args = {"--modbus", "ascii", "--timeout", "150", "05 03 00 01 00 01"},
         .exit = 16,
         .totals = "{\"sent\":8,\"answered\":6,\"timeouts\":2,\"checksum_errors\":0,"
                   "\"unexpected\":0,\"other_errors\":0,\"longest_failure_run\":1,"},
        {.name = "an exception is a failure",
         .sim = {"--modbus", "rtu", "--address", "5"},
         .args = {"--modbus", "rtu", "05 03 FF 00 00 01"},
         .exit = 16,
         .totals = "{\"sent\":8,\"answered\":0,\"timeouts\":0,\"checksum_errors\":0,"
                   "\"unexpected\":8,\"other_errors\":0,\"longest_failure_run\":8,"},
        {.name = "unless it is the reply expected",
         .sim = {"--modbus", "rtu", "--address", "5"},
         .args = {"--modbus", "rtu", "--expect", "05 83 02", "05 03 FF 00 00 01"},
         .exit = 0,
         .totals = "{\"sent\":8,\"answered\":8,\"timeouts\":0,\"checksum_errors\":0,"
                   "\"unexpected\":0,"},
        {.name = "another reply than expected",
         .sim = {"--modbus", "rtu", "--address", "5"},
         .args = {"--modbus", "rtu", "--expect", "05 03 02 01 F5", "05 03 00 00 00 01"},
         .exit = 16,
         .totals = "{\"sent\":8,\"answered\":0,\"timeouts\":0,\"checksum_errors\":0,"
                   "\"unexpected\":8,"},
    };
    for (const Case& c : cases) {
        SimProcess sim(PORTULA_SIM_PATH, c.sim);
        ASSERT_FALSE(sim.device().empty()) << c.name;
        std::vector<std::string> args{"soak", "-p", sim.device(), "--count", "8", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Finished r = run(args);
        EXPECT_EQ(r.exit, c.exit) << c.name << ": " << r.err;
        EXPECT_EQ(r.out.find(c.totals), 0u) << c.name << ": " << r.out;
    }
}

// term --modbus: each line a request in hex, its reply under it in hex, a slave's exception
// with its words, and a line that is no request refused with nothing sent.
TEST(CmdProgram, ModbusTermSendsEachLineAsARequest) {
    struct Case {
        const char* mode;
        std::vector<std::string> sim = {};
        std::string input;
        std::string out;
    };
    const std::string script = "05 03 00 00 00 02\n05 03 FF 00 00 01\nzz\n05 06 00 01 00 07\n"
                               "0503000100 01\n00 06 00 01 00 09\n05 03 00 01 00 01\n";
    const std::string shown = "05 03 04 01 F4 01 F5\n"
                              "05 83 02\n"
                              "Err_Code = 18 (the slave answered with exception 2: illegal data "
                              "address)\n"
                              "-- zz: not a request in hex bytes, such as '05 03 00 00 00 0A'\n"
                              "05 06 00 01 00 07\n"
                              "05 03 02 00 07\n"
                              "-- a broadcast: no slave answers it\n"
                              "05 03 02 00 09\n";
    const Case cases[] = {
        {.mode = "rtu", .input = script, .out = shown},
        {.mode = "ascii", .input = script, .out = shown},
        // The line's echo of each request is not its reply. (A broadcast's echo, which no
        // reply follows, shows as what arrives: it is left out here.)
        {.mode = "rtu",
         .sim = {"--line-echo"},
         .input = "05 03 00 00 00 02\n05 03 FF 00 00 01\n05 06 00 01 00 07\n05 03 00 01 00 01\n",
         .out = "05 03 04 01 F4 01 F5\n05 83 02\nErr_Code = 18 (the slave answered with exception "
                "2: illegal data address)\n05 06 00 01 00 07\n05 03 02 00 07\n"},
        {.mode = "rtu",
         .input = "07 03 00 00 00 01\n",
         .out = "Err_Code = 10 (no reply within 100 ms)\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> simArgs{"--modbus", c.mode, "--address", "5"};
        simArgs.insert(simArgs.end(), c.sim.begin(), c.sim.end());
        SimProcess sim(PORTULA_SIM_PATH, simArgs);
        ASSERT_FALSE(sim.device().empty()) << c.mode;
        const Finished f =
            run({"term", "-p", sim.device(), "--modbus", c.mode, "--timeout", "100"}, c.input);
        EXPECT_EQ(f.exit, 0) << c.mode << ": " << f.err;
        EXPECT_EQ(f.out, c.out) << c.mode << " " << (c.sim.empty() ? "" : c.sim.front());
    }
}

// No slave answers an RTU broadcast, so the line must stay quiet for the silence that ends its
// frame before the next request goes: sent at once, the two would be one frame to the slaves,
// whose CRC fails. Each row's broadcast write is read back.
TEST(CmdProgram, ARequestAfterAnRtuBroadcastIsAFrameOfItsOwn) {
    struct Case {
        const char* baud;
        std::vector<std::string> requests;
        std::string out;
    };
    const Case cases[] = {
        {.baud = "9600",
         .requests = {"00 06 00 01 00 09", "05 03 00 01 00 01"},
         .out = "\n05 03 02 00 09\n"},
        {.baud = "115200",
         .requests = {"00 10 00 02 00 02 04 00 0A 00 0B", "00 05 00 03 FF 00", "05 03 00 02 00 02",
                      "05 01 00 03 00 01"},
         .out = "\n\n05 03 04 00 0A 00 0B\n05 01 01 01\n"},
    };
    for (const Case& c : cases) {
        SimProcess sim(PORTULA_SIM_PATH, {"--modbus", "rtu", "--address", "5", "--baud", c.baud});
        ASSERT_FALSE(sim.device().empty()) << c.baud;
        std::vector<std::string> args{"-p", sim.device(), "-b", c.baud, "--modbus", "rtu"};
        args.insert(args.end(), c.requests.begin(), c.requests.end());
        const Finished r = run(args);
        EXPECT_EQ(r.exit, 0) << c.baud << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.baud << ": " << r.err;
    }
}

} // namespace
