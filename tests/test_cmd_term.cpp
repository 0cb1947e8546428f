// portula-cmd term as a person uses it: typed at in a tmux window, against the simulator or a
// pseudo-terminal the test plays the device on.

#include "support/Program.h"
#include "support/PseudoTerminal.h"
#include "support/SimProcess.h"
#include "support/TempTree.h"
#include "support/Tmux.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::PseudoTerminal;
using testsupport::shellQuoted;
using testsupport::SimProcess;
using testsupport::TempTree;
using testsupport::TmuxWindow;

constexpr auto kWithin = 5s;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// portula-cmd term with the arguments, its history under the folder's state/.
std::unique_ptr<TmuxWindow> terminal(const TempTree& folder, const std::vector<std::string>& args) {
    std::string line = "exec env XDG_STATE_HOME=" + shellQuoted(folder.path("state")) + " " +
                       shellQuoted(PORTULA_CMD_PATH) + " term";
    for (const std::string& a : args)
        line += " " + shellQuoted(a);
    auto window = std::make_unique<TmuxWindow>(line, folder.root());
    EXPECT_TRUE(window->started());
    EXPECT_TRUE(window->waitFor(":help lists the commands", kWithin)) << window->screen();
    return window;
}

// Types a line and, once it shows at the prompt as a person would see it, presses Enter.
void enter(const TmuxWindow& w, const std::string& text, const std::string& shown = "") {
    w.type(text);
    EXPECT_TRUE(w.waitForLastRow(shown.empty() ? "> " + text : shown, kWithin)) << w.screen();
    w.keys({"Enter"});
}

TEST(CmdTerm, ACommandsReplyIsShownUnderItAndHistoryIsKeptAcrossRuns) {
    SimProcess sim(PORTULA_SIM_PATH, {});
    ASSERT_FALSE(sim.device().empty());
    TempTree folder;
    {
        auto w = terminal(folder, {"-p", sim.device()});
        enter(*w, "$01M");
        EXPECT_TRUE(w->waitFor("^> \\$01M\n!01PORTULA-SIM\n> ?$", kWithin, true)) << w->screen();
        enter(*w, "$01F");
        EXPECT_TRUE(w->waitFor("> \\$01F\n!01A1.07\n", kWithin, true)) << w->screen();
        // Up twice: the command before the last one, sent again whole.
        w->keys({"Up"});
        EXPECT_TRUE(w->waitForLastRow("> $01F", kWithin)) << w->screen();
        w->keys({"Up"});
        EXPECT_TRUE(w->waitForLastRow("> $01M", kWithin)) << w->screen();
        w->keys({"Enter"});
        EXPECT_TRUE(w->waitFor("!01A1.07\n> \\$01M\n!01PORTULA-SIM\n", kWithin, true))
            << w->screen();
        enter(*w, ":quit");
        EXPECT_EQ(w->exitStatus(kWithin), 0);
    }
    const std::string history = readAll(folder.path("state/portula/history"));
    EXPECT_NE(history.find("$01M\n"), std::string::npos) << history;
    EXPECT_NE(history.find("$01F\n"), std::string::npos) << history;

    // A second run starts with the first one's history.
    auto w = terminal(folder, {"-p", sim.device()});
    w->keys({"Up"});
    EXPECT_TRUE(w->waitForLastRow("> :quit", kWithin)) << w->screen();
    w->keys({"Up"});
    EXPECT_TRUE(w->waitForLastRow("> $01M", kWithin)) << w->screen();
    w->keys({"Up"});
    EXPECT_TRUE(w->waitForLastRow("> $01F", kWithin)) << w->screen();
    w->keys({"Enter"});
    EXPECT_TRUE(w->waitFor("!01A1.07", kWithin)) << w->screen();
}

TEST(CmdTerm, EndsWithStatusZeroByQuitCtrlDAndCtrlCOnAnEmptyLine) {
    SimProcess sim(PORTULA_SIM_PATH, {});
    ASSERT_FALSE(sim.device().empty());
    struct Case {
        const char* name;
        std::string typed; // before the keys
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {.name = ":quit", .typed = ":quit", .keys = {"Enter"}},
        {.name = ":q", .typed = ":q", .keys = {"Enter"}},
        {.name = "Ctrl-D", .typed = "", .keys = {"C-d"}},
        {.name = "Ctrl-C on an empty line", .typed = "", .keys = {"C-c"}},
        // The first Ctrl-C clears the typed line, the second ends.
        {.name = "Ctrl-C twice on a typed line", .typed = "$01M", .keys = {"C-c", "C-c"}},
    };
    for (const Case& c : cases) {
        TempTree folder;
        auto w = terminal(folder, {"-p", sim.device()});
        if (!c.typed.empty()) {
            w->type(c.typed);
            ASSERT_TRUE(w->waitFor("> " + c.typed, kWithin)) << c.name;
        }
        w->keys(c.keys);
        EXPECT_EQ(w->exitStatus(kWithin), 0) << c.name << "\n" << w->screen();
    }
    // One Ctrl-C on a typed line clears it and keeps the terminal going.
    TempTree folder;
    auto w = terminal(folder, {"-p", sim.device()});
    w->type("$01F");
    ASSERT_TRUE(w->waitFor("> $01F", kWithin));
    w->keys({"C-c"});
    enter(*w, "$01M");
    EXPECT_TRUE(w->waitFor("> \\$01M\n!01PORTULA-SIM\n", kWithin, true)) << w->screen();
    EXPECT_FALSE(w->exitStatus(0ms).has_value());
}

// The device speaks while a line is half typed: its lines go above the prompt, the typed text
// stays as it was, and it goes out whole.
TEST(CmdTerm, DataArrivingWhileTypingLeavesTheTypedLineWhole) {
    PseudoTerminal device;
    TempTree folder;
    auto w = terminal(folder, {"-p", device.path(), "--ending", "lf"});
    w->type("hello wor");
    ASSERT_TRUE(w->waitFor("> hello wor", kWithin));
    device.write("ALARM 7\r\nLEVEL 3\r\n");
    EXPECT_TRUE(w->waitFor("ALARM 7\nLEVEL 3\n> hello wor\n", kWithin)) << w->screen();
    // A stream without line ends shows after a silence.
    device.write("partial");
    EXPECT_TRUE(w->waitFor("LEVEL 3\npartial\n> hello wor\n", kWithin)) << w->screen();
    enter(*w, "ld", "> hello world");
    EXPECT_EQ(device.readUntil('\n', kWithin), "hello world\n");
}

// A typed line longer than the screen is wide (100 columns here) stays whole, once, under
// what arrives, however often something does.
TEST(CmdTerm, ALongTypedLineIsNotTornByArrivingLines) {
    PseudoTerminal device;
    TempTree folder;
    auto w = terminal(folder, {"-p", device.path(), "--ending", "lf"});
    std::string typed;
    for (int i = 0; typed.size() < 230; ++i)
        typed += (i ? " word" : "word") + std::to_string(i);
    w->type(typed);
    // The screen is read a row at a time: the end of the line is on its last row.
    ASSERT_TRUE(w->waitFor(typed.substr(typed.size() - 12), kWithin)) << w->screen();
    for (int i = 0; i < 15; ++i)
        device.write("TICK " + std::to_string(i) + "\r\n");
    ASSERT_TRUE(w->waitFor("TICK 14\n> word0 ", kWithin)) << w->screen();
    const std::string screen = w->screen();
    std::size_t copies = 0;
    for (std::size_t at = 0; (at = screen.find("> word0 word1", at)) != std::string::npos; ++at)
        ++copies;
    EXPECT_EQ(copies, 1u) << screen;
    w->keys({"Enter"});
    EXPECT_EQ(device.readUntil('\n', kWithin), typed + "\n");
}

TEST(CmdTerm, HexShowsADumpAndTimestampsATimePerLine) {
    PseudoTerminal device;
    TempTree folder;
    auto w = terminal(folder, {"-p", device.path(), "--ending", "crlf"});
    enter(*w, ":hex on");
    ASSERT_TRUE(w->waitFor("hex on", kWithin));
    device.write(std::string("!01PORTULA-SIM\r\n\x01\xFF", 18));
    EXPECT_TRUE(w->waitFor("00000000  21 30 31 50 4F 52 54 55  4C 41 2D 53 49 4D 0D 0A  "
                           "|!01PORTULA-SIM..|\n"
                           "00000010  01 FF                                             |..|\n",
                           kWithin))
        << w->screen();
    enter(*w, ":hex off");
    enter(*w, ":timestamps on");
    ASSERT_TRUE(w->waitFor("timestamps on", kWithin));
    device.write("T=21.5\r");
    EXPECT_TRUE(
        w->waitFor("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}  T=21\\.5$", kWithin, true))
        << w->screen();

    // --timestamps from the command line, on the framed command's reply too.
    SimProcess sim(PORTULA_SIM_PATH, {});
    ASSERT_FALSE(sim.device().empty());
    TempTree other;
    auto t = terminal(other, {"-p", sim.device(), "--timestamps"});
    enter(*t, "$01M");
    EXPECT_TRUE(t->waitFor("^[0-9:]{8}\\.[0-9]{3}  !01PORTULA-SIM$", kWithin, true)) << t->screen();
}

TEST(CmdTerm, LogHoldsWhatWasSentAndReceivedWithTimes) {
    SimProcess sim(PORTULA_SIM_PATH, {"--checksum"});
    ASSERT_FALSE(sim.device().empty());
    TempTree folder;
    const std::string log = folder.path("exchange.log");
    auto w = terminal(folder, {"-p", sim.device(), "--checksum", "--log", log});
    enter(*w, "$01M");
    ASSERT_TRUE(w->waitFor("!01PORTULA-SIM", kWithin)) << w->screen();
    enter(*w, "$07M");
    ASSERT_TRUE(w->waitFor("Err_Code = 10 (no reply within 200 ms)", kWithin)) << w->screen();
    enter(*w, ":quit");
    ASSERT_EQ(w->exitStatus(kWithin), 0);
    const std::string time =
        "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}[+-][0-9]{4}";
    // The checksums: 0x24 + 0x30 + 0x31 + 0x4D = 0xD2, and 0xD8 for $07M.
    const std::regex expected("^" + time + " > \\$01MD2\\\\r\n" + time + " < !01PORTULA-SIM\n" +
                              time + " > \\$07MD8\\\\r\n" + time +
                              " ! Err_Code = 10 \\(no reply within 200 ms\\)\n$");
    const std::string text = readAll(log);
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(CmdTerm, ABadTerminalCommandGetsOneLineAndNothingGoesOut) {
    PseudoTerminal device;
    TempTree folder;
    auto w = terminal(folder, {"-p", device.path()});
    struct Case {
        const char* typed;
        const char* line;
    };
    const Case cases[] = {
        {.typed = ":bogus",
         .line = "portula-cmd: ':bogus' is not a command (:help lists them; :: sends a ':')"},
        {.typed = ":baud 30",
         .line = "portula-cmd: ':baud': '30' is not a rate taken: any rate from 50 to 4000000 "
                 "the device takes"},
        {.typed = ":hex maybe", .line = "portula-cmd: ':hex': 'maybe' is neither on nor off"},
        {.typed = ":ending cr lf", .line = "portula-cmd: ':ending': give it as :ending E"},
        {.typed = ":ending hex:1",
         .line = "portula-cmd: ':ending': 'hex:1' is not cr, none, lf, lfcr, crlf or "
                 "hex:XX..."},
    };
    for (const Case& c : cases) {
        enter(*w, c.typed);
        EXPECT_TRUE(w->waitFor(std::string("> ") + c.typed + "\n" + c.line + "\n>", kWithin))
            << c.typed << "\n"
            << w->screen();
    }
    // '::' sends a line that starts with ':'.
    enter(*w, ":ending lf");
    ASSERT_TRUE(w->waitFor("ending lf", kWithin));
    EXPECT_EQ(device.drain(100ms), "") << "a terminal command went on the line";
    enter(*w, "::RESET");
    EXPECT_EQ(device.readUntil('\n', kWithin), ":RESET\n");
}

// The device is a link to the simulator's pseudo-terminal: the simulator goes away with its
// link, a new one comes under the same name, and the library opens it again by itself.
TEST(CmdTerm, AnUnplugAndTheDevicesReturnAreStatusLines) {
    TempTree folder;
    auto sim = std::make_unique<SimProcess>(PORTULA_SIM_PATH, std::vector<std::string>{});
    ASSERT_FALSE(sim->device().empty());
    const std::string link = folder.link("module", sim->device());
    auto w = terminal(folder, {"-p", link});
    // A device opened by its name is named as it was given, not by the library's port number.
    EXPECT_TRUE(w->waitFor("-- " + link + " at 9600 baud, ending cr;", kWithin)) << w->screen();
    enter(*w, "$01M");
    ASSERT_TRUE(w->waitFor("!01PORTULA-SIM", kWithin)) << w->screen();

    folder.remove("module");
    sim.reset();
    EXPECT_TRUE(
        w->waitFor("-- Err_Code = 14: the device went away; waiting for it to come back", kWithin))
        << w->screen();
    enter(*w, "$01M");
    EXPECT_TRUE(w->waitFor("> $01M\nErr_Code = 14 (the device hung up)", kWithin)) << w->screen();

    sim =
        std::make_unique<SimProcess>(PORTULA_SIM_PATH, std::vector<std::string>{"--address", "02"});
    ASSERT_FALSE(sim->device().empty());
    folder.link("module", sim->device());
    EXPECT_TRUE(w->waitFor("-- the device is back: " + link, kWithin)) << w->screen();
    enter(*w, "$02M");
    EXPECT_TRUE(w->waitFor("> $02M\n!02PORTULA-SIM\n", kWithin)) << w->screen();
}

// Standard input that is not a terminal: lines as a script gives them, no prompt, and what
// arrives is still shown.
TEST(CmdTerm, ReadsAScriptFromAPipe) {
    SimProcess sim(PORTULA_SIM_PATH, {});
    ASSERT_FALSE(sim.device().empty());
    const std::string line = "printf '$01M\\n:hex on\\n$01F\\n:bogus\\n' | " +
                             shellQuoted(PORTULA_CMD_PATH) + " term -p " +
                             shellQuoted(sim.device()) + " 2>&1";
    const testsupport::Ran ran = testsupport::runShell(line);
    const std::string& out = ran.out;
    EXPECT_EQ(ran.exit, 0) << out;
    EXPECT_EQ(out, "!01PORTULA-SIM\n"
                   "hex on\n"
                   "00000000  21 30 31 41 31 2E 30 37                           |!01A1.07|\n"
                   "portula-cmd: ':bogus' is not a command (:help lists them; :: sends a ':')\n");
}

} // namespace

namespace {

int pidIn(const std::string& path) {
    for (auto until = std::chrono::steady_clock::now() + kWithin;
         std::chrono::steady_clock::now() < until;) {
        std::ifstream in(path);
        int pid = 0;
        if (in >> pid && pid > 0)
            return pid;
    }
    return -1;
}

// Job control and the end by a signal, as a shell's programs behave: Ctrl-Z stops term with
// the terminal put back, fg takes it again and draws the typed line; SIGTERM and SIGHUP end it
// with the terminal as the shell wants it.
TEST(CmdTerm, SignalsLeaveTheTerminalAsTheShellWantsIt) {
    SimProcess sim(PORTULA_SIM_PATH, {});
    ASSERT_FALSE(sim.device().empty());
    for (const char* signal : {"TERM", "HUP"}) {
        TempTree folder;
        const std::string pidFile = folder.path("pid");
        const std::string sttyFile = folder.path("stty");
        TmuxWindow w(
            "sh -c " +
                shellQuoted("echo $$ > " + shellQuoted(pidFile) +
                            "; exec env XDG_STATE_HOME=" + shellQuoted(folder.path("state")) + " " +
                            shellQuoted(PORTULA_CMD_PATH) + " term -p " +
                            shellQuoted(sim.device())) +
                "; stty -a > " + shellQuoted(sttyFile),
            folder.root());
        ASSERT_TRUE(w.waitFor(":help lists the commands", kWithin)) << w.screen();
        const int pid = pidIn(pidFile);
        ASSERT_GT(pid, 0);
        w.type("$01");
        ASSERT_TRUE(w.waitFor("> $01", kWithin)) << w.screen();
        ASSERT_EQ(::kill(pid, std::string(signal) == "TERM" ? SIGTERM : SIGHUP), 0);
        ASSERT_TRUE(w.exitStatus(kWithin).has_value()) << signal << "\n" << w.screen();
        const std::string stty = readAll(sttyFile);
        ASSERT_NE(stty.find("icanon"), std::string::npos) << signal << ": " << stty;
        for (const char* raw : {"-icanon", "-echo ", "-isig"})
            EXPECT_EQ(stty.find(raw), std::string::npos) << signal << ": " << raw << "\n" << stty;
    }

    // In an interactive shell, as a person uses it: Ctrl-Z, then fg.
    TempTree folder;
    TmuxWindow w("exec bash --norc --noprofile -i", folder.root());
    ASSERT_TRUE(w.started());
    w.type("env XDG_STATE_HOME=" + shellQuoted(folder.path("state")) + " " +
           shellQuoted(PORTULA_CMD_PATH) + " term -p " + shellQuoted(sim.device()));
    w.keys({"Enter"});
    ASSERT_TRUE(w.waitFor(":help lists the commands", kWithin)) << w.screen();
    w.type("$01M");
    ASSERT_TRUE(w.waitForLastRow("> $01M", kWithin)) << w.screen();
    w.keys({"C-z"});
    EXPECT_TRUE(w.waitFor("Stopped", kWithin)) << w.screen();
    // The shell has the terminal as it wants it: its own line editing echoes what is typed.
    w.type("fg");
    w.keys({"Enter"});
    // Going on, term draws the line as it was, and the line goes out as shown.
    EXPECT_TRUE(w.waitForLastRow("> $01M", kWithin)) << w.screen();
    w.keys({"Enter"});
    EXPECT_TRUE(w.waitFor("!01PORTULA-SIM", kWithin)) << w.screen();
}

} // namespace

namespace {

// Ctrl-C while a command waits for a slow module abandons the wait, says so, and leaves the
// terminal going; the reply that comes later is not the next command's.
TEST(CmdTerm, CtrlCDuringAWaitAbandonsItAndNeverEndsTerm) {
    SimProcess sim(PORTULA_SIM_PATH, {"--delay-ms", "3000"});
    ASSERT_FALSE(sim.device().empty());
    TempTree folder;
    auto w = terminal(folder, {"-p", sim.device(), "--timeout", "20000"});
    enter(*w, "$01M");
    ASSERT_TRUE(w->waitFor("> $01M\n", kWithin)) << w->screen();
    w->keys({"C-c"});
    EXPECT_TRUE(w->waitFor("-- Ctrl-C: the wait for the reply was abandoned", 2s)) << w->screen();
    EXPECT_EQ(w->screen().find("PORTULA-SIM"), std::string::npos) << w->screen();
    EXPECT_FALSE(w->exitStatus(0ms).has_value());
    enter(*w, ":quit");
    EXPECT_EQ(w->exitStatus(kWithin), 0) << w->screen();
}

} // namespace
