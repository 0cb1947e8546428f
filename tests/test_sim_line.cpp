// When the simulated line hands each byte to the terminal, on a clock the test moves itself.

#include "sim/Line.h"

#include <gtest/gtest.h>

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
        {9600, 1, 1041us, 0},    {9600, 1, 1042us, 1},   {9600, 1, 5000us, 4},
        {9600, 1, 14584us, 14},  {9600, 1, 15625us, 15}, {9600, 2, 5000us, 4},
        {9600, 2, 6000us, 5},    {9600, 2, 17187us, 14}, {9600, 2, 17188us, 15},
        {115200, 1, 1000us, 11}, {1200, 1, 8333us, 0},   {1200, 1, 8334us, 1},
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
        {"whole reply, next tick", false, 3ms, {{3ms, ""}, {9999us, ""}, {10ms, kName}}},
        {"on a tick", false, 20ms, {{20ms, kName}}},
        // 9600 baud: 15 bytes take 15.6 ms, through 5 by the tick at 16, the rest by 32
        {"straddling two ticks",
         true,
         10ms,
         {{15999us, ""}, {16ms, "!01PO"}, {31999us, ""}, {32ms, "RTULA-SIM\r"}}},
        {"within one tick", true, 0ms, {{15999us, ""}, {16ms, kName}}},
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
        {"at once", echo, {}, true, {{0ms, "$01M\r" + kName}}},
        {"a delayed reply", delayed, {}, true, {{29ms, "$01M\r"}, {30ms, kName}}},
        {"paced",
         paced,
         {},
         true,
         {{5ms, "$01M"}, {6ms, "\r"}, {7ms, "!"}, {21ms, kName.substr(1)}}},
        {"unheard", echo, {}, false, {{0ms, "$01M\r"}, {100ms, ""}}},
        {"a lost reply", echo, {1, 0, 0}, true, {{0ms, "$01M\r"}, {100ms, ""}}},
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
        {1, {"$01M\r"}, " 01M\r", kName},
        {2,
         {"$01M\r", "$01F\r", "$01M\r", "$01F\r"},
         "$01M\r 01F\r$01M\r 01F\r",
         kName + kFirmware + kName + kFirmware},
        // a command split over reads is still one command, garbled once
        {2, {"$01M\r$0", "1", "F\r"}, "$01M\r 01F\r", kName + kFirmware},
        {3, {"#01\r#01\r#01\r"}, "#01\r#01\r\"01\r", "?01\r?01\r?01\r"},
        // a 0 cannot lose a bit: the first byte that can is the one changed
        {1, {zeros + "01M\r"}, std::string("\0\0 01M\r", 7), ""},
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
        {false, kFirmware.size(), "$01M\r" + kName, "", ""},
        // the late reply first, a wrong answer to the new command; its own waits behind it
        {true, 0, "$01M\r", "", kFirmware + kName},
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

} // namespace
