// The simulator's Modbus slaves: their answers to request payloads, the frames they take and
// ignore, and the line that tells RTU frames apart by their silence, on a clock the test moves.

#include "rules/Modbus.h"
#include "sim/Line.h"
#include "sim/ModbusSlave.h"
#include "sim/Options.h"
#include "sim/Truth.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using portula::ModbusMode;
using sim::Line;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

Line::Time at(std::chrono::microseconds t) {
    return Line::Time(t);
}

std::string takeBy(Line& line, std::chrono::microseconds t) {
    line.advance(at(t));
    std::string out(line.ready());
    line.consume(out.size());
    return out;
}

sim::Module modbusLine(ModbusMode mode, std::vector<std::uint8_t> ids = {1},
                       sim::Faults faults = {}) {
    return sim::Module(sim::ModbusLine{mode, std::move(ids)}, faults);
}

// Slave 17: holding register n holds 1700 + n (0x06A4 + n), input register n 11700 + n, coil n
// is on for n = 1, 4, 7..., discrete input n for even n.
TEST(SimModbusSlave, AnswersEachFunctionAndException) {
    struct Case {
        const char* name;
        std::string request;
        std::optional<std::string> reply;
    };
    const Case cases[] = {
        {.name = "holding registers",
         .request = bytes({17, 3, 0, 0, 0, 3}),
         .reply = bytes({17, 3, 6, 0x06, 0xA4, 0x06, 0xA5, 0x06, 0xA6})},
        {.name = "the last input register",
         .request = bytes({17, 4, 0x03, 0xE7, 0, 1}),
         .reply = bytes({17, 4, 2, 0x31, 0x9B})},
        {.name = "coils, the first bit lowest",
         .request = bytes({17, 1, 0, 0, 0, 10}),
         .reply = bytes({17, 1, 2, 0x92, 0x00})},
        {.name = "discrete inputs",
         .request = bytes({17, 2, 0, 1, 0, 8}),
         .reply = bytes({17, 2, 1, 0xAA})},
        {.name = "a single register written",
         .request = bytes({17, 6, 0, 5, 0x12, 0x34}),
         .reply = bytes({17, 6, 0, 5, 0x12, 0x34})},
        {.name = "a single coil written",
         .request = bytes({17, 5, 0, 9, 0xFF, 0}),
         .reply = bytes({17, 5, 0, 9, 0xFF, 0})},
        {.name = "registers written",
         .request = bytes({17, 16, 0, 10, 0, 2, 4, 0, 1, 0, 2}),
         .reply = bytes({17, 16, 0, 10, 0, 2})},
        {.name = "coils written",
         .request = bytes({17, 15, 0, 20, 0, 10, 2, 0xFF, 0x03}),
         .reply = bytes({17, 15, 0, 20, 0, 10})},
        {.name = "an unknown function", .request = bytes({17, 7}), .reply = bytes({17, 0x87, 1})},
        {.name = "device identification is not known either",
         .request = bytes({17, 0x2B, 0x0E, 1, 0}),
         .reply = bytes({17, 0xAB, 1})},
        {.name = "registers past the table",
         .request = bytes({17, 3, 0x03, 0xDE, 0, 11}),
         .reply = bytes({17, 0x83, 2})},
        {.name = "126 registers",
         .request = bytes({17, 3, 0, 0, 0, 126}),
         .reply = bytes({17, 0x83, 3})},
        {.name = "no register",
         .request = bytes({17, 4, 0, 0, 0, 0}),
         .reply = bytes({17, 0x84, 3})},
        {.name = "2001 coils",
         .request = bytes({17, 1, 0, 0, 0x07, 0xD1}),
         .reply = bytes({17, 0x81, 3})},
        {.name = "2000 coils past the table",
         .request = bytes({17, 1, 0, 0, 0x07, 0xD0}),
         .reply = bytes({17, 0x81, 2})},
        {.name = "a read one byte long",
         .request = bytes({17, 3, 0, 0, 0, 1, 0}),
         .reply = bytes({17, 0x83, 3})},
        {.name = "a coil neither on nor off",
         .request = bytes({17, 5, 0, 1, 0x12, 0x34}),
         .reply = bytes({17, 0x85, 3})},
        {.name = "a coil past the table",
         .request = bytes({17, 5, 0x03, 0xE8, 0xFF, 0}),
         .reply = bytes({17, 0x85, 2})},
        {.name = "a register past the table",
         .request = bytes({17, 6, 0xFF, 0xFF, 0, 1}),
         .reply = bytes({17, 0x86, 2})},
        {.name = "a byte count that is not the quantity's",
         .request = bytes({17, 16, 0, 10, 0, 2, 2, 0, 1}),
         .reply = bytes({17, 0x90, 3})},
        {.name = "fewer values than the byte count",
         .request = bytes({17, 16, 0, 10, 0, 2, 4, 0, 1, 0}),
         .reply = bytes({17, 0x90, 3})},
        {.name = "124 registers written",
         .request = bytes({17, 16, 0, 0, 0, 124, 248}),
         .reply = bytes({17, 0x90, 3})},
        {.name = "coils written past the table",
         .request = bytes({17, 15, 0x03, 0xE6, 0, 3, 1, 7}),
         .reply = bytes({17, 0x8F, 2})},
        {.name = "another slave's request",
         .request = bytes({18, 3, 0, 0, 0, 1}),
         .reply = std::nullopt},
        {.name = "a broadcast write", .request = bytes({0, 6, 0, 1, 0, 1}), .reply = std::nullopt},
        {.name = "a broadcast read", .request = bytes({0, 3, 0, 0, 0, 1}), .reply = std::nullopt},
        {.name = "no function", .request = bytes({17}), .reply = std::nullopt},
    };
    for (const Case& c : cases) {
        sim::ModbusSlave slave(17);
        const std::optional<std::string> reply = slave.answer(c.request);
        EXPECT_EQ(reply, c.reply) << c.name;
    }
    // The table's last ten registers, up to 1700 + 999.
    sim::ModbusSlave slave(17);
    const std::optional<std::string> last = slave.answer(bytes({17, 3, 0x03, 0xDE, 0, 10}));
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->size(), 3u + 20u);
    EXPECT_EQ(last->substr(21), bytes({0x0A, 0x8B}));
}

TEST(SimModbusSlave, WritesAreReadBackAndBroadcastsReachEverySlave) {
    sim::ModbusSlave slave(1);
    ASSERT_TRUE(slave.answer(bytes({1, 16, 0, 3, 0, 2, 4, 0xAB, 0xCD, 0x00, 0x07})));
    ASSERT_TRUE(slave.answer(bytes({1, 15, 0, 8, 0, 10, 2, 0x01, 0x02})));
    ASSERT_TRUE(slave.answer(bytes({1, 5, 0, 2, 0, 0})));
    EXPECT_FALSE(slave.answer(bytes({0, 6, 0, 4, 0x00, 0x2A})));
    EXPECT_FALSE(slave.answer(bytes({0, 5, 0, 0, 0xFF, 0x00})));
    // Registers 2 to 5: 102, then the two written, then the broadcast's 42 over the second.
    EXPECT_EQ(slave.answer(bytes({1, 3, 0, 2, 0, 4})),
              bytes({1, 3, 8, 0, 102, 0xAB, 0xCD, 0, 42, 0, 105}));
    // Coils 0 to 17: 0 on by broadcast, 2 turned off (it was on), 8 and 17 written on, 9 to
    // 16 written off (11 and 14 were on).
    EXPECT_EQ(slave.answer(bytes({1, 1, 0, 0, 0, 18})), bytes({1, 1, 3, 0x21, 0x01, 0x02}));
    // A write that failed changed nothing.
    EXPECT_EQ(slave.answer(bytes({1, 16, 0x03, 0xE7, 0, 2, 4, 0, 0, 0, 0})), bytes({1, 0x90, 2}));
    EXPECT_EQ(slave.holdingRegister(999), 1099);
}

TEST(SimModbusSlave, TablesFollowTheIdAndATwinHoldsTheOpposite) {
    struct Case {
        std::uint8_t id;
        unsigned n;
        std::uint16_t holding;
        std::uint16_t input;
        bool coil;
        bool discrete;
    };
    const Case cases[] = {
        {.id = 1, .n = 0, .holding = 100, .input = 10100, .coil = false, .discrete = true},
        {.id = 1, .n = 2, .holding = 102, .input = 10102, .coil = true, .discrete = true},
        {.id = 5, .n = 1, .holding = 501, .input = 10501, .coil = true, .discrete = false},
        {.id = 247, .n = 999, .holding = 25699, .input = 35699, .coil = false, .discrete = false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sim::firstHoldingRegister(c.id, c.n), c.holding) << int(c.id) << "/" << c.n;
        EXPECT_EQ(sim::firstInputRegister(c.id, c.n), c.input) << int(c.id) << "/" << c.n;
        EXPECT_EQ(sim::firstCoil(c.id, c.n), c.coil) << int(c.id) << "/" << c.n;
        EXPECT_EQ(sim::firstDiscreteInput(c.id, c.n), c.discrete) << int(c.id) << "/" << c.n;
        EXPECT_EQ(sim::firstHoldingRegister(c.id, c.n, true),
                  static_cast<std::uint16_t>(~c.holding));
        EXPECT_EQ(sim::firstCoil(c.id, c.n, true), !c.coil);
    }
}

// Whole frames as they come off the line: the check decides whether a slave hears them.
TEST(SimModbusModule, AnswersFramesThatPassTheirCheckAndIgnoresTheRest) {
    const std::string read1 = bytes({1, 3, 0, 0, 0, 2});
    const std::string reply1 = bytes({1, 3, 4, 0, 100, 0, 101});
    const std::string read5 = bytes({5, 4, 0, 1, 0, 1});
    const std::string reply5 = bytes({5, 4, 2, 0x29, 0x05}); // 10501
    std::string badCrc = portula::rtuFrame(read1);
    badCrc.back() = static_cast<char>(badCrc.back() ^ 0x01);
    std::string badLrc = portula::asciiFrame(read1);
    badLrc[13] = badLrc[13] == 'F' ? 'E' : 'F';
    struct Case {
        const char* name;
        ModbusMode mode;
        std::string frame;
        std::optional<std::string> reply;
    };
    const Case cases[] = {
        {.name = "RTU",
         .mode = ModbusMode::Rtu,
         .frame = portula::rtuFrame(read1),
         .reply = portula::rtuFrame(reply1)},
        {.name = "RTU, the second slave",
         .mode = ModbusMode::Rtu,
         .frame = portula::rtuFrame(read5),
         .reply = portula::rtuFrame(reply5)},
        {.name = "RTU, a bad CRC", .mode = ModbusMode::Rtu, .frame = badCrc, .reply = std::nullopt},
        {.name = "RTU, an ASCII frame",
         .mode = ModbusMode::Rtu,
         .frame = portula::asciiFrame(read1),
         .reply = std::nullopt},
        {.name = "RTU, a slave not on the line",
         .mode = ModbusMode::Rtu,
         .frame = portula::rtuFrame(bytes({2, 3, 0, 0, 0, 1})),
         .reply = std::nullopt},
        {.name = "RTU, a broadcast",
         .mode = ModbusMode::Rtu,
         .frame = portula::rtuFrame(bytes({0, 6, 0, 0, 0, 1})),
         .reply = std::nullopt},
        {.name = "RTU, longer than a frame can be",
         .mode = ModbusMode::Rtu,
         .frame = portula::rtuFrame(bytes({1, 16, 0, 0, 0, 125, 250}) + std::string(250, '\0')),
         .reply = std::nullopt},
        {.name = "RTU, an exception",
         .mode = ModbusMode::Rtu,
         .frame = portula::rtuFrame(bytes({1, 3, 0x03, 0xE8, 0, 1})),
         .reply = portula::rtuFrame(bytes({1, 0x83, 2}))},
        {.name = "ASCII",
         .mode = ModbusMode::Ascii,
         .frame = ":010300000002FA\r\n",
         .reply = ":010304006400652F\r\n"},
        {.name = "ASCII, the second slave",
         .mode = ModbusMode::Ascii,
         .frame = portula::asciiFrame(read5),
         .reply = portula::asciiFrame(reply5)},
        {.name = "ASCII, a bad LRC",
         .mode = ModbusMode::Ascii,
         .frame = badLrc,
         .reply = std::nullopt},
        {.name = "ASCII, a frame cut short before it",
         .mode = ModbusMode::Ascii,
         .frame = ":0103" + portula::asciiFrame(read1),
         .reply = portula::asciiFrame(reply1)},
        {.name = "ASCII, without its CR",
         .mode = ModbusMode::Ascii,
         .frame = ":010300000002FA\n",
         .reply = std::nullopt},
        {.name = "ASCII, an odd count of digits",
         .mode = ModbusMode::Ascii,
         .frame = ":010300000002F\r\n",
         .reply = std::nullopt},
        {.name = "ASCII, an RTU frame",
         .mode = ModbusMode::Ascii,
         .frame = portula::rtuFrame(read1) + "\r\n",
         .reply = std::nullopt},
    };
    for (const Case& c : cases) {
        sim::Module module = modbusLine(c.mode, {1, 5});
        const std::optional<sim::Reply> reply = module.answerFrame(c.frame);
        EXPECT_EQ(reply ? std::optional<std::string>(reply->bytes) : std::nullopt, c.reply)
            << c.name;
    }
}

TEST(SimModbusModule, CollidingSlavesSpoilTheReplysCrc) {
    sim::Faults collide;
    collide.collide = true;
    sim::Module module = modbusLine(ModbusMode::Rtu, {1}, collide);
    const auto reply = module.answerFrame(portula::rtuFrame(bytes({1, 3, 0, 0, 0, 4})));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes.size(), 13u) << "both replies have the same length";
    EXPECT_EQ(reply->bytes.substr(0, 3), bytes({1, 3, 8})) << "the same header";
    EXPECT_EQ(reply->bytes.substr(3, 8), std::string(8, '\0')) << "a value AND its opposite";
    EXPECT_FALSE(portula::rtuPayload(reply->bytes));
    // A write both carry out alike is answered alike: the collision does not show.
    const std::string write = portula::rtuFrame(bytes({1, 6, 0, 0, 0, 7}));
    EXPECT_EQ(module.answerFrame(write)->bytes, write);
}

TEST(SimModbusModule, FaultsCountTheSlavesReplies) {
    sim::Faults faults;
    faults.dropEvery = 3;
    faults.lateEvery = 2;
    faults.lateMs = 70;
    sim::Module module = modbusLine(ModbusMode::Rtu, {1}, faults);
    const std::string read = portula::rtuFrame(bytes({1, 3, 0, 0, 0, 1}));
    const std::string ignored = portula::rtuFrame(bytes({9, 3, 0, 0, 0, 1}));
    std::vector<std::string> seen;
    for (int i = 0; i < 6; ++i) {
        EXPECT_FALSE(module.answerFrame(ignored)) << "no reply, nothing counted";
        const auto reply = module.answerFrame(read);
        seen.push_back(!reply ? "lost" : reply->delayMs == 70 ? "late" : "on time");
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"on time", "late", "lost", "late", "on time", "lost"}));
}

// At 9600 baud, 3.5 characters of 10 bits are 3646 us; of 11 bits (a parity bit) 4011 us.
TEST(SimModbusLine, AnRtuFrameEndsWithTheLinesSilence) {
    const std::string request = portula::rtuFrame(bytes({1, 3, 0, 0, 0, 1}));
    const std::string reply = portula::rtuFrame(bytes({1, 3, 2, 0, 100}));
    struct Case {
        const char* name;
        bool parity;
        std::uint32_t baud;
        std::chrono::microseconds silence;
    };
    const Case cases[] = {
        {.name = "8N1", .parity = false, .baud = 9600, .silence = 3646us},
        {.name = "8E1", .parity = true, .baud = 9600, .silence = 4011us},
        {.name = "above 19200 baud", .parity = true, .baud = 115200, .silence = 1750us},
    };
    for (const Case& c : cases) {
        sim::LineConfig config;
        config.baud = c.baud;
        config.parity = c.parity;
        Line line(modbusLine(ModbusMode::Rtu), config);
        EXPECT_EQ(line.frameSilence(), c.silence) << c.name;
        // The frame comes in two pieces, 1 ms apart: one frame still.
        line.receive(request.substr(0, 3), at(100ms));
        line.receive(request.substr(3), at(101ms));
        EXPECT_EQ(line.nextEvent(), at(101ms + c.silence)) << c.name;
        EXPECT_EQ(takeBy(line, 101ms + c.silence - 1us), "") << c.name;
        EXPECT_EQ(takeBy(line, 101ms + c.silence), reply) << c.name;
        // Pieces further apart than the silence are frames of their own: neither passes.
        line.receive(request.substr(0, 3), at(150ms));
        line.receive(request.substr(3), at(150ms + c.silence + 1us));
        EXPECT_EQ(takeBy(line, 170ms), "") << c.name;
        // Two frames with a silence between them: two replies.
        line.receive(request, at(200ms));
        line.receive(request, at(200ms + c.silence + 1us));
        EXPECT_EQ(takeBy(line, 300ms), reply + reply) << c.name;
        // Two frames back to back are one frame, whose CRC fails.
        line.receive(request, at(400ms));
        line.receive(request, at(401ms));
        EXPECT_EQ(takeBy(line, 500ms), "") << c.name;
        EXPECT_EQ(line.nextEvent(), std::nullopt) << c.name;
    }
}

TEST(SimModbusLine, AnAsciiFrameEndsWithItsLf) {
    sim::LineConfig config;
    Line line(modbusLine(ModbusMode::Ascii), config);
    line.receive(":0103000000", at(1ms));
    line.receive("02FA\r", at(2ms));
    EXPECT_EQ(takeBy(line, 50ms), "") << "CR alone does not end it";
    EXPECT_EQ(line.nextEvent(), std::nullopt) << "no silence counts in ASCII";
    line.receive("\n:010300000001FB\r\n", at(60ms));
    EXPECT_EQ(takeBy(line, 60ms), ":010304006400652F\r\n:010302006496\r\n");
}

TEST(SimModbusLine, TheLinesFaultsFallOnModbusFrames) {
    const std::string request = portula::rtuFrame(bytes({1, 3, 0, 0, 0, 1}));
    const std::string reply = portula::rtuFrame(bytes({1, 3, 2, 0, 100}));
    // The second frame's echo has its first nonzero byte's lowest 1 cleared: 01 becomes 00.
    std::string garbled = request;
    garbled[0] = '\0';
    sim::LineConfig echo;
    echo.echo = true;
    echo.garbleEchoEvery = 2;
    Line echoing(modbusLine(ModbusMode::Rtu), echo);
    echoing.receive(request, at(10ms));
    EXPECT_EQ(takeBy(echoing, 10ms), request) << "the echo comes at once";
    EXPECT_EQ(takeBy(echoing, 20ms), reply) << "the reply after the silence";
    echoing.receive(request, at(30ms));
    EXPECT_EQ(takeBy(echoing, 40ms), garbled + reply);
    // A mismatched line: the echo comes, the slaves answer nothing.
    echoing.receive(request, at(50ms), false);
    EXPECT_EQ(takeBy(echoing, 60ms), request);

    sim::LineConfig late;
    late.delayMs = 5;
    sim::Faults faults;
    faults.lateEvery = 2;
    faults.lateMs = 30;
    Line slow(modbusLine(ModbusMode::Rtu, {1}, faults), late);
    slow.receive(request, at(0ms));
    EXPECT_EQ(takeBy(slow, 5ms + slow.frameSilence() - 1us), "");
    EXPECT_EQ(takeBy(slow, 5ms + slow.frameSilence()), reply) << "--delay-ms after the silence";
    slow.receive(request, at(100ms));
    EXPECT_EQ(takeBy(slow, 134ms + slow.frameSilence()), "");
    EXPECT_EQ(takeBy(slow, 135ms + slow.frameSilence()), reply) << "late by 30 ms more";

    // A flush forgets a frame begun.
    Line flushed(modbusLine(ModbusMode::Rtu), sim::LineConfig{});
    flushed.receive(request.substr(0, 4), at(0ms));
    flushed.flush();
    flushed.receive(request.substr(4), at(1ms));
    EXPECT_EQ(takeBy(flushed, 20ms), "");
}

TEST(SimModbusLine, AsciiFramesGetTheirEchoNoiseAndDuplicates) {
    sim::LineConfig config;
    config.echo = true;
    config.noiseEvery = 1;
    config.noiseBytes = 2;
    config.truth = true;
    sim::Faults faults;
    faults.duplicateEvery = 1;
    Line line(modbusLine(ModbusMode::Ascii, {1}, faults), config);
    const std::string request = ":010300000001FB\r\n";
    const std::string reply = ":010302006496\r\n";
    line.receive(request, at(1ms));
    const std::string got = takeBy(line, 2ms);
    ASSERT_EQ(got.size(), request.size() + 2 + 2 * reply.size()) << got;
    EXPECT_EQ(got.substr(0, request.size()), request) << "the echo first";
    for (const char c : got.substr(request.size(), 2))
        EXPECT_TRUE(c == 0 || static_cast<unsigned char>(c) >= 0x80) << "noise, never a frame's";
    EXPECT_EQ(got.substr(request.size() + 2), reply + reply) << "the reply, then its copy";
    std::vector<sim::TruthKind> kinds;
    for (const sim::TruthRecord& r : line.takeTruth()) {
        kinds.push_back(r.kind);
        if (r.kind != sim::TruthKind::Noise) {
            EXPECT_EQ(r.command, ":010300000001FB");
        }
    }
    using K = sim::TruthKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Heard, K::Echo, K::Noise, K::Reply, K::Duplicate}));
}

TEST(SimModbusLine, TruthRecordsEachFrameAndReplyWithTheMode) {
    const std::string request = portula::rtuFrame(bytes({1, 3, 0, 0, 0, 1}));
    const std::string reply = portula::rtuFrame(bytes({1, 3, 2, 0, 100}));
    sim::LineConfig config;
    config.truth = true;
    config.echo = true;
    Line line(modbusLine(ModbusMode::Rtu), config);
    line.receive(request, at(1000us));
    takeBy(line, 2000us);
    const auto silent = 1000us + line.frameSilence();
    takeBy(line, silent);
    const std::vector<sim::TruthRecord> records = line.takeTruth();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].kind, sim::TruthKind::Echo);
    EXPECT_EQ(records[0].bytes, request);
    EXPECT_EQ(records[0].command, request);
    EXPECT_EQ(records[1].kind, sim::TruthKind::Heard);
    EXPECT_EQ(records[1].heard, at(silent)) << "heard once the silence ended it";
    EXPECT_EQ(records[2].kind, sim::TruthKind::Reply);
    EXPECT_EQ(records[2].bytes, reply);
    EXPECT_EQ(records[2].start, at(silent));
    for (const sim::TruthRecord& r : records)
        EXPECT_EQ(r.modbus, ModbusMode::Rtu);
    EXPECT_EQ(sim::truthJson(records[2]),
              R"({"kind":"reply","mode":"rtu","command":"\u0001\u0003\u0000\u0000\u0000\u0001)"
              R"(\u0084\u000A","heard_us":4646,"bytes":"\u0001\u0003\u0002\u0000d\u00B9\u00AF",)"
              R"("start_us":4646,"end_us":4646})"
              "\n");

    sim::LineConfig asciiConfig;
    asciiConfig.truth = true;
    Line ascii(modbusLine(ModbusMode::Ascii), asciiConfig);
    ascii.receive("junk:010300000001FB\r\n", at(5us));
    takeBy(ascii, 5us);
    const std::vector<sim::TruthRecord> heard = ascii.takeTruth();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(sim::truthJson(heard[0]),
              R"({"kind":"heard","mode":"ascii","command":"junk:010300000001FB","heard_us":5})"
              "\n");
    EXPECT_EQ(heard[1].bytes, ":010302006496\r\n");
}

std::string optionsError(std::vector<const char*> args) {
    args.insert(args.begin(), "portula-sim");
    return sim::parseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data())).error;
}

TEST(SimModbusOptions, IdsAreDecimalAndTheModeExcludesTheAsciiModulesOptions) {
    struct Case {
        std::vector<const char*> args;
        const char* error; // a part of the message; "" when the command line is good
    };
    const Case cases[] = {
        {.args = {"--modbus", "rtu", "--address", "1,5,17"}, .error = ""},
        {.args = {"--address", "247", "--modbus", "ascii", "--parity", "even"}, .error = ""},
        {.args = {"--modbus", "tcp"}, .error = "--modbus: 'tcp'"},
        {.args = {"--modbus", "rtu", "--address", "0"}, .error = "'0' is not a Modbus slave id"},
        {.args = {"--modbus", "rtu", "--address", "248"}, .error = "'248'"},
        {.args = {"--modbus", "rtu", "--address", "0A"}, .error = "'0A'"},
        {.args = {"--modbus", "rtu", "--address", "5,05"}, .error = "given twice"},
        {.args = {"--address", "0A"}, .error = ""},
        {.args = {"--address", "17"}, .error = ""},
        {.args = {"--modbus", "rtu", "--echo"}, .error = "--echo: not with --modbus"},
        {.args = {"--checksum", "--modbus", "rtu"}, .error = "--checksum: not with --modbus"},
        {.args = {"--modbus", "ascii", "--ending", "crlf"}, .error = "--ending"},
        {.args = {"--modbus", "rtu", "--backplane", "x"}, .error = "--backplane"},
        {.args = {"--parity", "mark"}, .error = "--parity: 'mark'"},
    };
    for (const Case& c : cases) {
        const std::string error = optionsError(c.args);
        if (*c.error == '\0') {
            EXPECT_EQ(error, "") << c.args[1];
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos)
                << c.args[1] << ": " << (error.empty() ? "accepted" : error);
        }
    }
    std::vector<const char*> args{"portula-sim", "--address", "1,5",      "--modbus", "rtu",
                                  "--address",   "17",        "--parity", "even"};
    const sim::ParsedOptions parsed =
        sim::parseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.modbusIds, (std::vector<std::uint8_t>{1, 5, 17}));
    EXPECT_TRUE(sim::lineConfigFor(parsed.options).parity);
    sim::Module module = sim::moduleFor(parsed.options);
    EXPECT_EQ(module.modbusMode(), ModbusMode::Rtu);
    ASSERT_EQ(module.slaves().size(), 3u);
    EXPECT_EQ(module.slaves()[2].id(), 17);
}

} // namespace
