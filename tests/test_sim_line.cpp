// When the simulated line hands each byte to the terminal, on a clock the test moves itself.

#include "sim/Line.h"
#include "sim/Truth.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace sim {
// A failing comparison shows records as the truth file would.
void PrintTo(const TruthRecord& record, std::ostream* os) {
    *os << truthJson(record);
}
} // namespace sim

namespace {

using namespace std::chrono_literals;
using sim::Line;

const std::string kName = "!01PORTULA-SIM\r";
const std::string kFirmware = "!01A1.07\r";

Line::Time at(std::chrono::microseconds t) {
    return Line::Time(t);
}

Line lineWith(sim::LineConfig config, sim::Faults faults = {}) {
    return Line(sim::Module(sim::ModuleConfig{}, faults), config);
}

// What the terminal has been given by `t`, taken out of the line.
std::string takeBy(Line& line, std::chrono::microseconds t) {
    line.advance(at(t));
    std::string out(line.ready());
    line.consume(out.size());
    return out;
}

TEST(SimLine, PacedBytesTakeTenOrElevenBitsEach) {
    struct Case {
        std::uint32_t baud;
        int stopBits;
        std::chrono::microseconds by; // after the command
        std::size_t bytes;            // of "!01PORTULA-SIM\r" through the wire by then
    };
    const Case cases[] = {
        {.baud = 9600, .stopBits = 1, .by = 1041us, .bytes = 0},
        {.baud = 9600, .stopBits = 1, .by = 1042us, .bytes = 1},
        {.baud = 9600, .stopBits = 1, .by = 5000us, .bytes = 4},
        {.baud = 9600, .stopBits = 1, .by = 14584us, .bytes = 14},
        {.baud = 9600, .stopBits = 1, .by = 15625us, .bytes = 15},
        {.baud = 9600, .stopBits = 2, .by = 5000us, .bytes = 4},
        {.baud = 9600, .stopBits = 2, .by = 6000us, .bytes = 5},
        {.baud = 9600, .stopBits = 2, .by = 17187us, .bytes = 14},
        {.baud = 9600, .stopBits = 2, .by = 17188us, .bytes = 15},
        {.baud = 115200, .stopBits = 1, .by = 1000us, .bytes = 11},
        {.baud = 1200, .stopBits = 1, .by = 8333us, .bytes = 0},
        {.baud = 1200, .stopBits = 1, .by = 8334us, .bytes = 1},
    };
    for (const Case& c : cases) {
        sim::LineConfig config;
        config.wirePace = true;
        config.baud = c.baud;
        config.stopBits = c.stopBits;
        Line line = lineWith(config);
        line.receive("$01M\r", at(100ms));
        EXPECT_EQ(takeBy(line, 100ms + c.by), kName.substr(0, c.bytes))
            << c.baud << " baud, " << c.stopBits << " stop bits, after " << c.by.count() << " us";
    }
}

TEST(SimLine, BatchesLeaveOnTheAdaptersTicks) {
    struct Case {
        const char* name;
        bool wirePace;
        std::chrono::microseconds sent;
        // the terminal's view at the times asked
        std::vector<std::pair<std::chrono::microseconds, std::string>> seen;
    };
    const Case cases[] = {
        {.name = "whole reply, next tick",
         .wirePace = false,
         .sent = 3ms,
         .seen = {{3ms, ""}, {9999us, ""}, {10ms, kName}}},
        {.name = "on a tick", .wirePace = false, .sent = 20ms, .seen = {{20ms, kName}}},
        // 9600 baud: 15 bytes take 15.6 ms, through 5 by the tick at 16, the rest by 32
        {.name = "straddling two ticks",
         .wirePace = true,
         .sent = 10ms,
         .seen = {{15999us, ""}, {16ms, "!01PO"}, {31999us, ""}, {32ms, "RTULA-SIM\r"}}},
        {.name = "within one tick",
         .wirePace = true,
         .sent = 0ms,
         .seen = {{15999us, ""}, {16ms, kName}}},
    };
    for (const Case& c : cases) {
        sim::LineConfig config;
        config.batchMs = c.wirePace ? 16 : 10;
        config.wirePace = c.wirePace;
        Line line = lineWith(config);
        line.receive("$01M\r", at(c.sent));
        for (const auto& [t, bytes] : c.seen)
            EXPECT_EQ(takeBy(line, t), bytes) << c.name << " at " << t.count() << " us";
        EXPECT_EQ(line.heldBytes(), 0u) << c.name;
        EXPECT_EQ(line.nextEvent(), std::nullopt) << c.name;
    }
}

TEST(SimLine, NextEventIsWhenTheNextByteMoves) {
    sim::LineConfig config;
    config.delayMs = 5;
    config.batchMs = 4;
    Line line = lineWith(config);
    EXPECT_EQ(line.nextEvent(), std::nullopt);
    line.receive("$01M\r", at(1ms));
    EXPECT_EQ(line.nextEvent(), at(6ms)) << "the reply goes onto the wire";
    line.advance(at(6ms));
    EXPECT_EQ(line.ready(), "");
    EXPECT_EQ(line.nextEvent(), at(8ms)) << "the adapter's next tick";
    line.advance(at(8ms));
    EXPECT_EQ(line.ready(), kName);
    EXPECT_EQ(line.nextEvent(), std::nullopt);
}

TEST(SimLine, TheEchoComesBackAheadOfTheReply) {
    struct Case {
        const char* name;
        sim::LineConfig config;
        sim::Faults faults;
        bool heard;
        std::vector<std::pair<std::chrono::microseconds, std::string>> seen; // command at 0
    };
    sim::LineConfig echo;
    echo.echo = true;
    sim::LineConfig delayed = echo;
    delayed.delayMs = 30;
    sim::LineConfig paced = echo;
    paced.wirePace = true; // 9600 baud: 1.04 ms a byte
    const Case cases[] = {
        {.name = "at once",
         .config = echo,
         .faults = {},
         .heard = true,
         .seen = {{0ms, "$01M\r" + kName}}},
        {.name = "a delayed reply",
         .config = delayed,
         .faults = {},
         .heard = true,
         .seen = {{29ms, "$01M\r"}, {30ms, kName}}},
        {.name = "paced",
         .config = paced,
         .faults = {},
         .heard = true,
         .seen = {{5ms, "$01M"}, {6ms, "\r"}, {7ms, "!"}, {21ms, kName.substr(1)}}},
        {.name = "unheard",
         .config = echo,
         .faults = {},
         .heard = false,
         .seen = {{0ms, "$01M\r"}, {100ms, ""}}},
        {.name = "a lost reply",
         .config = echo,
         .faults = {1, 0, 0},
         .heard = true,
         .seen = {{0ms, "$01M\r"}, {100ms, ""}}},
    };
    for (const Case& c : cases) {
        Line line = lineWith(c.config, c.faults);
        line.receive("$01M\r", at(0ms), c.heard);
        for (const auto& [t, bytes] : c.seen)
            EXPECT_EQ(takeBy(line, t), bytes) << c.name << " at " << t.count() << " us";
    }
}

TEST(SimLine, RepliesWaitBehindALateOneAndEchoesDoNot) {
    sim::LineConfig config;
    config.echo = true;
    Line line = lineWith(config, {0, 2, 500}); // every second reply 500 ms late
    line.receive("$01M\r", at(0ms));
    line.receive("$01F\r", at(0ms));
    EXPECT_EQ(takeBy(line, 0ms), "$01M\r" + kName + "$01F\r");
    line.receive("$01M\r", at(100ms));
    EXPECT_EQ(takeBy(line, 100ms), "$01M\r");
    line.receive("$01F\r", at(200ms));
    EXPECT_EQ(takeBy(line, 200ms), "$01F\r");
    EXPECT_EQ(takeBy(line, 500ms), kFirmware + kName);
    EXPECT_EQ(takeBy(line, 699ms), "");
    EXPECT_EQ(takeBy(line, 700ms), kFirmware);
}

TEST(SimLine, EveryNthCommandsEchoHasOneByteChanged) {
    struct Case {
        unsigned every;
        std::vector<std::string> sent; // one receive each
        std::string echoed;            // all the echoes, in order
        std::string replies;           // the modules heard the commands as they were sent
    };
    const std::string zeros("\0\0$", 3);
    const Case cases[] = {
        {.every = 1, .sent = {"$01M\r"}, .echoed = " 01M\r", .replies = kName},
        {.every = 2,
         .sent = {"$01M\r", "$01F\r", "$01M\r", "$01F\r"},
         .echoed = "$01M\r 01F\r$01M\r 01F\r",
         .replies = kName + kFirmware + kName + kFirmware},
        // a command split over reads is still one command, garbled once
        {.every = 2,
         .sent = {"$01M\r$0", "1", "F\r"},
         .echoed = "$01M\r 01F\r",
         .replies = kName + kFirmware},
        {.every = 3,
         .sent = {"#01\r#01\r#01\r"},
         .echoed = "#01\r#01\r\"01\r",
         .replies = ">+00.001\r>+00.002\r>+00.003\r"},
        // a 0 cannot lose a bit: the first byte that can is the one changed
        {.every = 1,
         .sent = {zeros + "01M\r"},
         .echoed = std::string("\0\0 01M\r", 7),
         .replies = ""},
    };
    for (const Case& c : cases) {
        sim::LineConfig config;
        config.echo = true;
        config.garbleEchoEvery = c.every;
        config.delayMs = 1000; // the replies out of the way
        Line line = lineWith(config);
        for (const std::string& bytes : c.sent)
            line.receive(bytes, at(0ms));
        EXPECT_EQ(takeBy(line, 0ms), c.echoed) << "every " << c.every;
        EXPECT_EQ(takeBy(line, 1000ms), c.replies) << "every " << c.every;
    }
}

TEST(SimLine, FlushesDropWhatIsOnItsWayUnlessRepliesAreKept) {
    struct Case {
        bool keep;
        std::size_t dropped;
        // for the command that follows a late one
        std::string at100ms, by499ms, at500ms;
    };
    const Case cases[] = {
        {.keep = false,
         .dropped = kFirmware.size(),
         .at100ms = "$01M\r" + kName,
         .by499ms = "",
         .at500ms = ""},
        // the late reply first, a wrong answer to the new command; its own waits behind it
        {.keep = true,
         .dropped = 0,
         .at100ms = "$01M\r",
         .by499ms = "",
         .at500ms = kFirmware + kName},
    };
    for (const Case& c : cases) {
        sim::LineConfig config;
        config.keepReplies = c.keep;
        config.echo = true;
        Line line = lineWith(config, {0, 2, 500}); // every second reply 500 ms late
        line.receive("$01M\r", at(0ms));
        line.receive("$01F\r", at(0ms));
        EXPECT_EQ(takeBy(line, 99ms), "$01M\r" + kName + "$01F\r");
        // The terminal gave up on it, flushes, sends the next command.
        EXPECT_EQ(line.flush(), c.dropped) << "keep " << c.keep;
        line.receive("$01M\r", at(100ms));
        EXPECT_EQ(takeBy(line, 100ms), c.at100ms) << "keep " << c.keep;
        EXPECT_EQ(takeBy(line, 499ms), c.by499ms) << "keep " << c.keep;
        EXPECT_EQ(takeBy(line, 500ms), c.at500ms) << "keep " << c.keep;
    }
}

TEST(SimLine, AFlushForgetsAPartialCommandUnlessRepliesAreKept) {
    for (const bool keep : {false, true}) {
        sim::LineConfig config;
        config.keepReplies = keep;
        Line line = lineWith(config);
        line.receive("$01", at(0ms));
        line.flush();
        line.receive("M\r", at(1ms));
        EXPECT_EQ(takeBy(line, 1ms), keep ? kName : "") << "keep " << keep;
    }
}

TEST(SimLine, ATerminalThatDoesNotReadCannotFillMemory) {
    sim::LineConfig config;
    config.echo = true;
    Line line = lineWith(config);
    for (int i = 0; i < 10000; ++i)
        line.receive("$01M\r", at(0ms));
    EXPECT_LE(line.heldBytes(), Line::kMaxHeldBytes);
    EXPECT_GT(line.heldBytes(), Line::kMaxHeldBytes - kName.size());
    line.advance(at(0ms));
    EXPECT_EQ(line.ready().size(), line.heldBytes());
    line.consume(line.ready().size());
    line.receive("$01M\r", at(1ms));
    EXPECT_EQ(takeBy(line, 1ms), "$01M\r" + kName) << "room again once the terminal read";
}

TEST(SimLine, EchoFaultsChangeWhatComesBackOfEachCommand) {
    struct Case {
        const char* name;
        unsigned skip;
        bool twice;
        unsigned garbleEvery;
        std::vector<std::string> sent; // one receive each
        std::string echoed;
        std::string replies;
    };
    const std::string both = kName + kFirmware;
    const Case cases[] = {
        {.name = "skip 1",
         .skip = 1,
         .twice = false,
         .garbleEvery = 0,
         .sent = {"$01M\r$01F\r"},
         .echoed = "01M\r01F\r",
         .replies = both},
        {.name = "skip across reads",
         .skip = 2,
         .twice = false,
         .garbleEvery = 0,
         .sent = {"$", "01", "M\r"},
         .echoed = "1M\r",
         .replies = kName},
        {.name = "skip past the CR",
         .skip = 8,
         .twice = false,
         .garbleEvery = 0,
         .sent = {"$01M\r", "$01F\r"},
         .echoed = "",
         .replies = both},
        {.name = "twice",
         .skip = 0,
         .twice = true,
         .garbleEvery = 0,
         .sent = {"$01M\r$01F\r"},
         .echoed = "$01M\r$01M\r$01F\r$01F\r",
         .replies = both},
        {.name = "twice, split",
         .skip = 0,
         .twice = true,
         .garbleEvery = 0,
         .sent = {"$0", "1M\r"},
         .echoed = "$01M\r$01M\r",
         .replies = kName},
        {.name = "twice, skipped",
         .skip = 1,
         .twice = true,
         .garbleEvery = 0,
         .sent = {"$01M\r"},
         .echoed = "01M\r01M\r",
         .replies = kName},
        // the garbled byte is among those the late receiver misses
        {.name = "skip and garble",
         .skip = 1,
         .twice = false,
         .garbleEvery = 1,
         .sent = {"$01M\r"},
         .echoed = "01M\r",
         .replies = kName},
        {.name = "twice and garbled",
         .skip = 0,
         .twice = true,
         .garbleEvery = 1,
         .sent = {"$01M\r"},
         .echoed = " 01M\r 01M\r",
         .replies = kName},
    };
    for (const Case& c : cases) {
        sim::LineConfig config;
        config.echo = true;
        config.echoSkip = c.skip;
        config.doubleEcho = c.twice;
        config.garbleEchoEvery = c.garbleEvery;
        config.delayMs = 1000; // the replies out of the way
        Line line = lineWith(config);
        for (const std::string& bytes : c.sent)
            line.receive(bytes, at(0ms));
        EXPECT_EQ(takeBy(line, 0ms), c.echoed) << c.name;
        EXPECT_EQ(takeBy(line, 1000ms), c.replies) << c.name << ": the modules heard them whole";
    }
}

TEST(SimLine, ADuplicateFollowsTheFirstAndHoldsBackNoReply) {
    sim::LineConfig config;
    config.wirePace = true; // 9600 baud: 1041.67 us a byte; "!01PORTULA-SIM\r" ends at 15625 us
    sim::Faults faults;
    faults.duplicateEvery = 2;
    faults.duplicateMs = 10;
    Line line = lineWith(config, faults);
    line.receive("$01F\r", at(0ms)); // through at 9375 us
    line.receive("$01M\r", at(0ms)); // the second reply: 9375 to 25000 us, its copy due at 35000
    EXPECT_EQ(takeBy(line, 25ms), kFirmware + kName);
    // Due before the copy, this reply goes first; the copy waits for the wire.
    line.receive("$01F\r", at(26ms)); // through at 35375 us
    EXPECT_EQ(takeBy(line, 35375us), kFirmware);
    EXPECT_EQ(takeBy(line, 36416us), "") << "the copy's first byte is through at 36417 us";
    EXPECT_EQ(takeBy(line, 36417us), "!");
    EXPECT_EQ(takeBy(line, 100ms), kName.substr(1));
    EXPECT_EQ(line.nextEvent(), std::nullopt) << "one copy only";
}

bool isNoise(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b == 0 || b >= 0x80;
    });
}

TEST(SimLine, NoiseComesAfterEveryNthCommandHeardAheadOfItsReply) {
    struct Case {
        const char* name;
        unsigned every;
        std::vector<std::pair<std::string, bool>> sent; // bytes, heard
        // what the terminal gets, '~' standing for a burst of noise
        std::string shape;
    };
    const Case cases[] = {
        {.name = "every second",
         .every = 2,
         .sent = {{"$01M\r", true}, {"$01F\r", true}},
         .shape = kName + "~" + kFirmware},
        {.name = "unheard commands do not count",
         .every = 2,
         .sent = {{"$01M\r", false}, {"$01M\r", true}, {"$01F\r", true}},
         .shape = kName + "~" + kFirmware},
        {.name = "alone without a reply", .every = 1, .sent = {{"$02M\r", true}}, .shape = "~"},
        {.name = "one read, two commands",
         .every = 1,
         .sent = {{"$01M\r$01F\r", true}},
         .shape = "~" + kName + "~" + kFirmware},
    };
    for (const Case& c : cases) {
        for (const std::uint32_t seed : {1u, 2u}) {
            sim::LineConfig config;
            config.noiseEvery = c.every;
            config.noiseBytes = 6;
            config.seed = seed;
            Line line = lineWith(config);
            for (const auto& [bytes, heard] : c.sent)
                line.receive(bytes, at(0ms), heard);
            const std::string got = takeBy(line, 0ms);
            std::string shape;
            for (std::size_t i = 0; i < got.size();) {
                const auto b = static_cast<unsigned char>(got[i]);
                if (b == 0 || b >= 0x80) {
                    EXPECT_TRUE(isNoise(got.substr(i, 6))) << c.name;
                    shape += '~';
                    i += 6;
                } else {
                    shape += got[i++];
                }
            }
            EXPECT_EQ(shape, c.shape) << c.name << ", seed " << seed;
        }
    }
}

TEST(SimLine, NoiseDependsOnTheSeedAlone) {
    const auto burst = [](std::uint32_t seed) {
        sim::LineConfig config;
        config.noiseEvery = 1;
        config.noiseBytes = 256;
        config.seed = seed;
        Line line = lineWith(config);
        line.receive("$02M\r", at(0ms));
        return takeBy(line, 0ms);
    };
    const std::string first = burst(7);
    EXPECT_EQ(first.size(), 256u);
    EXPECT_EQ(burst(7), first);
    EXPECT_NE(burst(8), first);
    // Over many bursts, the whole range and only it.
    std::string all;
    for (std::uint32_t seed = 0; seed < 20; ++seed)
        all += burst(seed);
    EXPECT_TRUE(isNoise(all));
    for (const char edge : {'\x00', '\x80', '\xFF'})
        EXPECT_NE(all.find(edge), std::string::npos) << int(static_cast<unsigned char>(edge));
}

// What the line records of each exchange, against what a test driving the terminal's side
// took and when.
TEST(SimLine, TruthRecordsWhatReachedTheTerminalAndWhen) {
    using K = sim::TruthKind;
    struct Step {
        enum { Receive, Take, Flush } what;
        std::chrono::microseconds t{};
        std::string bytes{};     // received
        bool heard = true;       // received
        std::size_t most = 1000; // taken
    };
    struct Case {
        const char* name;
        sim::LineConfig config;
        sim::Faults faults;
        std::vector<Step> steps;
        std::vector<sim::TruthRecord> records;
    };
    const auto heard = [](std::string command, std::chrono::microseconds t,
                          bool understood = true) {
        sim::TruthRecord r;
        r.command = std::move(command);
        r.heard = at(t);
        r.understood = understood;
        return r;
    };
    const auto gave = [](K kind, std::string command, std::chrono::microseconds heardAt,
                         std::string bytes, std::chrono::microseconds start,
                         std::chrono::microseconds end, bool cut = false) {
        sim::TruthRecord r;
        r.kind = kind;
        r.command = std::move(command);
        r.heard = kind == K::Reply || kind == K::Duplicate ? at(heardAt) : Line::Time{};
        r.bytes = std::move(bytes);
        r.start = at(start);
        r.end = at(end);
        r.cut = cut;
        return r;
    };
    sim::LineConfig plain;
    plain.truth = true;
    sim::LineConfig echo = plain;
    echo.echo = true;
    sim::LineConfig paced = plain;
    paced.wirePace = true; // 9600 baud: 1041.67 us a byte
    sim::LineConfig batched = paced;
    batched.batchMs = 10;
    sim::LineConfig kept = plain;
    kept.keepReplies = true;
    sim::LineConfig echoTwice = echo;
    echoTwice.echoSkip = 2;
    echoTwice.doubleEcho = true;
    sim::Faults duplicated;
    duplicated.duplicateEvery = 1;
    duplicated.duplicateMs = 10;
    using S = Step;
    const Case cases[] = {
        {.name = "a reply taken in two parts",
         .config = plain,
         .faults = {},
         .steps = {{S::Receive, 1ms, "$01M\r"}, {S::Take, 2ms, "", true, 5}, {S::Take, 3ms}},
         .records = {heard("$01M", 1ms), gave(K::Reply, "$01M", 1ms, kName, 2ms, 3ms)}},
        {.name = "a command over two reads, its echo one record",
         .config = echo,
         .faults = {},
         .steps =
             {{S::Receive, 0ms, "$0"}, {S::Take, 1ms}, {S::Receive, 2ms, "1M\r"}, {S::Take, 4ms}},
         .records = {heard("$01M", 2ms), gave(K::Echo, "$01M", 0ms, "$01M\r", 1ms, 4ms),
                     gave(K::Reply, "$01M", 2ms, kName, 4ms, 4ms)}},
        {.name = "an unheard command, echoed all the same",
         .config = echo,
         .faults = {},
         .steps = {{S::Receive, 0ms, "$01M\r", false}, {S::Take, 1ms}},
         .records = {heard("$01M", 0ms, false), gave(K::Echo, "$01M", 0ms, "$01M\r", 1ms, 1ms)}},
        {.name = "heard again once the settings match",
         .config = plain,
         .faults = {},
         .steps = {{S::Receive, 0ms, "$01M\r$0", false},
                   {S::Receive, 1ms, "1F\r$01M\r"},
                   {S::Take, 2ms}},
         .records = {heard("$01M", 0ms, false), heard("$01F", 1ms, false), heard("$01M", 1ms),
                     gave(K::Reply, "$01M", 1ms, kName, 2ms, 2ms)}},
        {.name = "cut by a flush",
         .config = paced,
         .faults = {},
         .steps =
             {{S::Receive, 0ms, "$01M\r"}, {S::Take, 5ms}, {S::Take, 6ms, "", true, 0}, {S::Flush}},
         .records = {heard("$01M", 0ms), gave(K::Reply, "$01M", 0ms, "!01P", 5ms, 5ms, true)}},
        {.name = "flushed before any of it was given",
         .config = plain,
         .faults = {},
         .steps = {{S::Receive, 0ms, "$01M\r"}, {S::Flush}, {S::Take, 1ms}},
         .records = {heard("$01M", 0ms)}},
        {.name = "kept through a flush",
         .config = kept,
         .faults = {},
         .steps =
             {{S::Receive, 0ms, "$01M\r"}, {S::Take, 1ms, "", true, 3}, {S::Flush}, {S::Take, 2ms}},
         .records = {heard("$01M", 0ms), gave(K::Reply, "$01M", 0ms, kName, 1ms, 2ms)}},
        {.name = "over the adapter's batches",
         .config = batched,
         .faults = {},
         .steps = {{S::Receive, 3ms, "$01M\r"}, {S::Take, 10ms}, {S::Take, 20ms}},
         .records = {heard("$01M", 3ms), gave(K::Reply, "$01M", 3ms, kName, 10ms, 20ms)}},
        {.name = "a duplicate",
         .config = plain,
         .faults = duplicated,
         .steps = {{S::Receive, 0ms, "$01F\r"}, {S::Take, 1ms}, {S::Take, 9ms}, {S::Take, 10ms}},
         .records = {heard("$01F", 0ms), gave(K::Reply, "$01F", 0ms, kFirmware, 1ms, 1ms),
                     gave(K::Duplicate, "$01F", 0ms, kFirmware, 10ms, 10ms)}},
        {.name = "a duplicate flushed before it went",
         .config = plain,
         .faults = duplicated,
         .steps = {{S::Receive, 0ms, "$01F\r"}, {S::Take, 1ms}, {S::Flush}, {S::Take, 20ms}},
         .records = {heard("$01F", 0ms), gave(K::Reply, "$01F", 0ms, kFirmware, 1ms, 1ms)}},
        {.name = "an echo twice, late",
         .config = echoTwice,
         .faults = {},
         .steps = {{S::Receive, 0ms, "$01M\r"}, {S::Take, 1ms}},
         .records = {heard("$01M", 0ms), gave(K::Echo, "$01M", 0ms, "1M\r", 1ms, 1ms),
                     gave(K::Echo, "$01M", 0ms, "1M\r", 1ms, 1ms),
                     gave(K::Reply, "$01M", 0ms, kName, 1ms, 1ms)}},
        {.name = "an echo cut short with its command",
         .config = echo,
         .faults = {},
         .steps = {{S::Receive, 0ms, "$01"}, {S::Take, 1ms}, {S::Flush}},
         .records = {gave(K::Echo, "$01", 0ms, "$01", 1ms, 1ms)}},
    };
    for (const Case& c : cases) {
        Line line = lineWith(c.config, c.faults);
        for (const Step& s : c.steps) {
            if (s.what == Step::Receive) {
                line.receive(s.bytes, at(s.t), s.heard);
            } else if (s.what == Step::Flush) {
                line.flush();
            } else {
                line.advance(at(s.t));
                line.consume(std::min(s.most, line.ready().size()), at(s.t));
            }
        }
        EXPECT_EQ(line.takeTruth(), c.records) << c.name;
        EXPECT_EQ(line.takeTruth(), std::vector<sim::TruthRecord>{}) << c.name << ": taken once";
    }
}

TEST(SimLine, TruthHoldsNoiseAndAnEchoingDevicesLines) {
    sim::LineConfig config;
    config.truth = true;
    config.noiseEvery = 1;
    config.noiseBytes = 3;
    Line line = lineWith(config);
    line.receive("$01M\r", at(0ms));
    const std::string got = takeBy(line, 1ms);
    ASSERT_EQ(got.size(), 3 + kName.size());
    const auto truth = line.takeTruth();
    ASSERT_EQ(truth.size(), 3u);
    EXPECT_EQ(truth[1].kind, sim::TruthKind::Noise);
    EXPECT_EQ(truth[1].bytes, got.substr(0, 3));
    EXPECT_EQ(truth[1].start, at(1ms));
    EXPECT_EQ(truth[2].bytes, kName);

    // A device that returns every byte hears no commands: its echo of each line is recorded.
    sim::ModuleConfig echoing;
    echoing.echo = true;
    sim::LineConfig delayed;
    delayed.truth = true;
    delayed.delayMs = 5;
    Line device(sim::Module(echoing), delayed);
    device.receive("ab", at(0ms));
    device.receive("c\r\n", at(1ms));
    EXPECT_EQ(takeBy(device, 6ms), "abc\r\n");
    sim::TruthRecord abc;
    abc.kind = sim::TruthKind::Echo;
    abc.command = "abc";
    abc.bytes = "abc\r";
    abc.start = abc.end = at(6ms);
    EXPECT_EQ(device.takeTruth(), std::vector{abc}) << "the LF after it starts the next line";
}

TEST(SimLine, TruthLinesAreJsonWithTheirKeysInOrder) {
    using K = sim::TruthKind;
    const auto record = [](K kind, std::string command, std::string bytes, bool understood = true,
                           bool cut = false) {
        sim::TruthRecord r;
        r.kind = kind;
        r.command = std::move(command);
        r.heard = at(1500us);
        r.understood = understood;
        r.bytes = std::move(bytes);
        r.start = at(2000001us);
        r.end = at(3000002us);
        r.cut = cut;
        return r;
    };
    struct Case {
        sim::TruthRecord record;
        const char* json;
    };
    const Case cases[] = {
        {.record = record(K::Heard, "$01M", ""),
         .json = R"({"kind":"heard","command":"$01M","heard_us":1500})"},
        {.record = record(K::Heard, "$0\x01\"\\", "", false),
         .json = R"({"kind":"heard","command":"$0\u0001\"\\","heard_us":1500,"understood":false})"},
        {.record = record(K::Reply, "$01M", kName),
         .json =
             R"({"kind":"reply","command":"$01M","heard_us":1500,"bytes":"!01PORTULA-SIM\u000D",)"
             R"("start_us":2000001,"end_us":3000002})"},
        {.record = record(K::Duplicate, "#01", ">+00.001\r\n", true, true),
         .json =
             R"({"kind":"duplicate","command":"#01","heard_us":1500,"bytes":">+00.001\u000D\u000A",)"
             R"("start_us":2000001,"end_us":3000002,"cut":true})"},
        {.record = record(K::Echo, "$01M", "1M\r"),
         .json = R"({"kind":"echo","command":"$01M","bytes":"1M\u000D","start_us":2000001,)"
                 R"("end_us":3000002})"},
        {.record = record(K::Noise, "", std::string("\x80\0\xFF", 3)),
         .json =
             R"({"kind":"noise","bytes":"\u0080\u0000\u00FF","start_us":2000001,"end_us":3000002})"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sim::truthJson(c.record), std::string(c.json) + "\n");
}

} // namespace
