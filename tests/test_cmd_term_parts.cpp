// portula-cmd term's parts that need no port: its ':' commands, how arriving bytes become
// screen lines, log lines and the history's place.

#include "cmd/Console.h"
#include "cmd/Terminal.h"
#include "support/TempTree.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using cmd::ArrivalLines;
using cmd::TermAction;
using cmd::TermSettings;

TEST(CmdTermCommands, EachLineDoesWhatItSays) {
    struct Case {
        std::string line;
        TermAction::Kind kind;
        std::string text; // the text sent, or a part of the message
    };
    const Case cases[] = {
        {.line = "", .kind = TermAction::Nothing, .text = ""},
        {.line = "$01M", .kind = TermAction::Send, .text = "$01M"},
        {.line = "::", .kind = TermAction::Send, .text = ":"},
        {.line = "::RESET", .kind = TermAction::Send, .text = ":RESET"},
        {.line = " :quit", .kind = TermAction::Send, .text = " :quit"},
        {.line = ":quit", .kind = TermAction::Quit, .text = ""},
        {.line = ":q", .kind = TermAction::Quit, .text = ""},
        {.line = ":help", .kind = TermAction::Message, .text = ":timestamps on|off"},
        {.line = ":baud 19200", .kind = TermAction::SetRate, .text = "19200"},
        {.line = ":reopen", .kind = TermAction::Reopen, .text = "9600"},
        {.line = ":hex on", .kind = TermAction::Message, .text = "hex on"},
        {.line = ":  timestamps   on", .kind = TermAction::Message, .text = "timestamps on"},
        {.line = ":ending crlf", .kind = TermAction::Message, .text = "ending crlf"},
        {.line = ":ending hex:1a0D", .kind = TermAction::Message, .text = "ending hex:1A0D"},
        {.line = ":bogus", .kind = TermAction::Error, .text = "':bogus' is not a command"},
        {.line = ":", .kind = TermAction::Error, .text = "':' is not a command"},
        {.line = ":quit now", .kind = TermAction::Error, .text = "give it as :quit"},
        {.line = ":baud", .kind = TermAction::Error, .text = "give it as :baud N"},
        {.line = ":baud 49", .kind = TermAction::Error, .text = "'49' is not a rate taken"},
        {.line = ":baud 4000001", .kind = TermAction::Error, .text = "any rate from 50 to 4000000"},
        {.line = ":baud 14400", .kind = TermAction::SetRate, .text = "to 14400 baud"},
        {.line = ":baud 9600x", .kind = TermAction::Error, .text = "'9600x' is not a rate taken"},
        {.line = ":hex yes", .kind = TermAction::Error, .text = "'yes' is neither on nor off"},
        {.line = ":ending lf cr", .kind = TermAction::Error, .text = "give it as :ending E"},
        {.line = ":ending hex:ZZ", .kind = TermAction::Error, .text = "is not cr, none, lf"},
        {.line = ":checksum on", .kind = TermAction::Message, .text = "checksum on"},
        {.line = std::string(cmd::kMaxText + 1, 'x'),
         .kind = TermAction::Error,
         .text = "the longest is 4096"},
    };
    for (const Case& c : cases) {
        TermSettings s;
        const TermAction a = cmd::interpretLine(c.line, s);
        EXPECT_EQ(a.kind, c.kind) << c.line << ": " << a.text;
        if (c.kind == TermAction::Send)
            EXPECT_EQ(a.text, c.text);
        else
            EXPECT_NE(a.text.find(c.text), std::string::npos) << c.line << ": " << a.text;
    }
}

TEST(CmdTermCommands, SettingsChangeOnlyWhenTheCommandIsGood) {
    TermSettings s;
    cmd::interpretLine(":baud 115200", s);
    cmd::interpretLine(":hex on", s);
    cmd::interpretLine(":timestamps on", s);
    cmd::interpretLine(":ending lfcr", s);
    EXPECT_EQ(s.baud, 115200u);
    EXPECT_TRUE(s.hex);
    EXPECT_TRUE(s.timestamps);
    EXPECT_EQ(s.ending, cmd::Ending::LFCR);
    EXPECT_EQ(s.endingBytes, "\n\r");

    // Refused: the checksum needs the CR ending, either way round; a bad rate keeps the old.
    EXPECT_EQ(cmd::interpretLine(":checksum on", s).kind, TermAction::Error);
    EXPECT_FALSE(s.checksum);
    EXPECT_EQ(cmd::interpretLine(":baud 40", s).kind, TermAction::Error);
    EXPECT_EQ(s.baud, 115200u);
    cmd::interpretLine(":ending cr", s);
    cmd::interpretLine(":checksum on", s);
    EXPECT_TRUE(s.checksum);
    EXPECT_EQ(cmd::interpretLine(":ending lf", s).kind, TermAction::Error);
    EXPECT_EQ(s.ending, cmd::Ending::CR);
    EXPECT_EQ(s.endingBytes, "\r");
}

TEST(CmdTermOptions, TermTakesItsOwnOptionsAndNoCommand) {
    auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "portula-cmd");
        return cmd::parse(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    };
    const cmd::Parsed good = parse({"term", "-p", "COM3", "-b", "19200", "--stop-bits", "2",
                                    "--checksum", "--timestamps", "--hex", "--log", "x.log"});
    ASSERT_EQ(good.exit, 0) << good.error;
    EXPECT_EQ(good.options.mode, cmd::Mode::Terminal);
    EXPECT_TRUE(good.options.timestamps);
    EXPECT_EQ(good.options.log, "x.log");
    const cmd::TermSettings s = cmd::termSettings(good.options);
    EXPECT_EQ(s.baud, 19200u);
    EXPECT_TRUE(s.checksum && s.hex && s.timestamps);

    struct Refused {
        std::vector<const char*> args;
        const char* names;
    };
    const Refused refused[] = {
        {.args = {"term", "$01M"}, .names = "term takes no command"},
        {.args = {"term", "--json"}, .names = "'--json' does nothing in term"},
        {.args = {"term", "--count", "3"}, .names = "'--count' does nothing in term"},
        {.args = {"term", "--log"}, .names = "needs a value"},
        {.args = {"term", "--ending", "lf", "--checksum"}, .names = "--checksum needs --ending cr"},
        {.args = {"--timestamps", "$01M"}, .names = "'--timestamps' does nothing in command mode"},
        {.args = {"soak", "--log", "x", "$01M"}, .names = "'--log' does nothing in soak"},
    };
    for (const Refused& r : refused) {
        const cmd::Parsed p = parse(r.args);
        EXPECT_EQ(p.exit, cmd::kExitUsage) << r.names;
        EXPECT_NE(p.error.find(r.names), std::string::npos) << p.error;
    }
}

using Steady = cmd::SteadyClock;

struct Chunk {
    std::string bytes;
    int atMs; // since the start
};

// Feeds the chunks at their times and looks again once the line is quiet; every line shown.
std::vector<std::string> linesFor(const std::vector<Chunk>& chunks, bool hex) {
    ArrivalLines arrivals;
    arrivals.setHex(hex);
    const Steady::time_point start{};
    std::vector<std::string> lines;
    int last = 0;
    for (const Chunk& c : chunks) {
        const auto now = start + std::chrono::milliseconds(c.atMs);
        for (auto& l : arrivals.flush(now, false))
            lines.push_back(l);
        for (auto& l : arrivals.feed(c.bytes, now, cmd::WallClock::now()))
            lines.push_back(l);
        last = c.atMs;
    }
    for (auto& l :
         arrivals.flush(start + std::chrono::milliseconds(last) + ArrivalLines::kQuiet, false))
        lines.push_back(l);
    return lines;
}

TEST(CmdTermArrivals, LineEndsAndSilencesMakeTheLines) {
    using Lines = std::vector<std::string>;
    struct Case {
        const char* name;
        std::vector<Chunk> chunks;
        Lines lines;
    };
    const Case cases[] = {
        {.name = "each of CR, LF, CR LF and LF CR is one line end",
         .chunks = {{"a\rb\nc\r\nd\n\re\r", 0}},
         .lines = {"a", "b", "c", "d", "e"}},
        {.name = "two CRs are an empty line", .chunks = {{"a\r\rb\r", 0}}, .lines = {"a", "", "b"}},
        {.name = "a CR LF pair split across chunks",
         .chunks = {{"a\r", 0}, {"\nb\r", 10}},
         .lines = {"a", "b"}},
        {.name = "a line across chunks",
         .chunks = {{"!01PORT", 0}, {"ULA\r", 20}},
         .lines = {"!01PORTULA"}},
        {.name = "a line without an end shows after a silence, and what follows is a new line",
         .chunks = {{"abc", 0}, {"def\r", 150}},
         .lines = {"abc", "def"}},
        {.name = "a silence after a CR: the LF is a line of its own",
         .chunks = {{"a\r", 0}, {"\n", 150}},
         .lines = {"a", ""}},
        {.name = "control bytes as escapes",
         .chunks = {{std::string("x\0\x1b\\\r", 5), 0}},
         .lines = {"x\\x00\\x1B\\x5C"}},
        // A stream without line ends: a line once its first byte is 100 ms old, however busy
        // the line, or once it fills a screen line.
        {.name = "a partial line shows once it is old, not only after a silence",
         .chunks = {{"ab", 0}, {"cd", 60}, {"ef", 120}, {"gh", 180}, {"ij\r", 240}},
         .lines = {"abcd", "efgh", "ij"}},
        {.name = "a partial line shows once it is a screen line long",
         .chunks = {{std::string(200, 'x'), 0}},
         .lines = {std::string(80, 'x'), std::string(80, 'x'), std::string(40, 'x')}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(linesFor(c.chunks, false), c.lines) << c.name;
}

TEST(CmdTermArrivals, HexRowsOfSixteenWithARunningOffset) {
    const auto rows = linesFor({{"0123456789ABCDEF!\r", 0}, {"\x01", 200}}, true);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], "00000000  30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46  "
                       "|0123456789ABCDEF|");
    // A short row is padded, so that its text lines up with a whole row's.
    EXPECT_EQ(rows[1], "00000010  21 0D" + std::string(43, ' ') + "  |!.|");
    EXPECT_EQ(rows[2].substr(0, 13), "00000012  01 ");
    EXPECT_EQ(rows[2].find('|'), rows[0].find('|'));
}

// Hex turned off and on again starts its offsets anew, as a fresh dump does; turned on while
// on, it keeps counting.
TEST(CmdTermArrivals, HexOffsetsStartAgainWhenHexIsTurnedOnAgain) {
    struct Case {
        const char* name;
        std::vector<bool> between; // setHex calls between the two rows
        const char* offset;        // of the second row
    };
    const Case cases[] = {
        {.name = "kept on", .between = {true}, .offset = "00000010"},
        {.name = "off and on", .between = {false, true}, .offset = "00000000"},
    };
    for (const Case& c : cases) {
        ArrivalLines arrivals;
        arrivals.setHex(true);
        const auto first = arrivals.feed(std::string(16, 'a'), {}, cmd::WallClock::now());
        ASSERT_EQ(first.size(), 1u) << c.name;
        EXPECT_EQ(first[0].substr(0, 8), "00000000") << c.name;
        for (const bool hex : c.between)
            arrivals.setHex(hex);
        const auto second = arrivals.feed(std::string(16, 'b'), {}, cmd::WallClock::now());
        ASSERT_EQ(second.size(), 1u) << c.name;
        EXPECT_EQ(second[0].substr(0, 8), c.offset) << c.name;
    }
}

TEST(CmdTermArrivals, TimestampsGoOnEveryLine) {
    ArrivalLines arrivals;
    arrivals.setTimestamps(true);
    const auto lines = arrivals.feed("one\r\ntwo\r", Steady::time_point{}, cmd::WallClock::now());
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& l : lines) {
        ASSERT_EQ(l.size(), 17u) << l;
        EXPECT_EQ(l[2], ':');
        EXPECT_EQ(l[8], '.');
        EXPECT_EQ(l.substr(12, 2), "  ");
    }
    EXPECT_EQ(lines[0].substr(14), "one");
}

TEST(CmdTermLog, LinesCarryTheDateTheDirectionAndEscapedBytes) {
    const auto at = cmd::WallClock::from_time_t(0) + std::chrono::milliseconds(1234);
    const std::string line = cmd::logLine(at, '>', "$01M\r");
    ASSERT_EQ(line.size(), 23u + 5u + 9u) << line;
    EXPECT_EQ(line.substr(19, 4), ".234");
    EXPECT_TRUE(line[23] == '+' || line[23] == '-') << line;
    EXPECT_EQ(line.substr(28), " > $01M\\r");
    EXPECT_EQ(line[10], 'T');
}

TEST(CmdTermHistory, FollowsXdgStateHomeThenHome) {
    struct Case {
        const char* state;
        const char* home;
        const char* path;
    };
    const Case cases[] = {
        {.state = "/s", .home = "/h", .path = "/s/portula/history"},
        {.state = nullptr, .home = "/h", .path = "/h/.local/state/portula/history"},
        {.state = "relative", .home = "/h", .path = "/h/.local/state/portula/history"},
        {.state = "", .home = "/h", .path = "/h/.local/state/portula/history"},
        {.state = nullptr, .home = nullptr, .path = ""},
    };
    for (const Case& c : cases) {
        const auto env = [&](const char* name) -> const char* {
            return std::string_view(name) == "XDG_STATE_HOME" ? c.state
                   : std::string_view(name) == "HOME"         ? c.home
                                                              : nullptr;
        };
        EXPECT_EQ(cmd::historyPath(env), c.path);
    }
}

// The history is kept only in a regular file of its own, never through a link, a FIFO (which
// would hold the terminal) or a device such as /dev/full (which would take it forever).
TEST(CmdTermHistory, OnlyARegularFileOfItsOwnIsKept) {
    testsupport::TempTree tree;
    const std::string dir = tree.path("state");
    ::mkdir(dir.c_str(), 0700);
    std::ofstream(dir + "/plain") << "$01M\n";
    std::ofstream(dir + "/big") << std::string(1024 * 1024 + 1, 'x');
    ::mkfifo((dir + "/fifo").c_str(), 0600);
    ::symlink("/dev/full", (dir + "/full").c_str());
    ::symlink((dir + "/plain").c_str(), (dir + "/link").c_str());
    ::mkdir((dir + "/folder").c_str(), 0700);
    struct Case {
        const char* name;
        const char* says; // empty: the file is used
    };
    const Case cases[] = {
        {.name = "plain", .says = ""},         {.name = "missing", .says = ""},
        {.name = "fifo", .says = "is a FIFO"}, {.name = "full", .says = "link"},
        {.name = "link", .says = "link"},      {.name = "folder", .says = "is a folder"},
        {.name = "big", .says = "1 MB"},
    };
    for (const Case& c : cases) {
        const std::string refused = cmd::historyRefusal(dir + "/" + c.name);
        if (*c.says == '\0')
            EXPECT_EQ(refused, "") << c.name;
        else
            EXPECT_NE(refused.find(c.says), std::string::npos) << c.name << ": " << refused;
    }
}

} // namespace

namespace {

// With --escapes a typed line goes out as its escapes spell it; without, as it was typed.
TEST(CmdTermCommands, EscapesSpellWhatIsSent) {
    struct Row {
        bool escapes;
        std::string line;
        TermAction::Kind kind;
        std::string text; // what is sent, or a part of the refusal
    };
    const Row rows[] = {
        {.escapes = true,
         .line = R"(A\x02B)",
         .kind = TermAction::Send,
         .text = "A\x02"
                 "B"},
        {.escapes = true, .line = R"(::\r)", .kind = TermAction::Send, .text = ":\r"},
        {.escapes = true, .line = R"(\\x41)", .kind = TermAction::Send, .text = R"(\x41)"},
        {.escapes = true, .line = R"(A\qB)", .kind = TermAction::Error, .text = "is not an escape"},
        {.escapes = true, .line = ":baud 9600", .kind = TermAction::SetRate, .text = "9600"},
        {.escapes = false, .line = R"(A\x02B)", .kind = TermAction::Send, .text = R"(A\x02B)"},
    };
    for (const Row& r : rows) {
        TermSettings s;
        s.escapes = r.escapes;
        const TermAction a = cmd::interpretLine(r.line, s);
        EXPECT_EQ(a.kind, r.kind) << r.line << ": " << a.text;
        if (r.kind == TermAction::Send)
            EXPECT_EQ(a.text, r.text) << r.line;
        else
            EXPECT_NE(a.text.find(r.text), std::string::npos) << r.line << ": " << a.text;
    }
}

} // namespace
