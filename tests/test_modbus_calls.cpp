// Modbus exchanges over whole calls, on a scripted device where time passes at once: which frame
// is the answer, what ends a frame, and which reply is owed to whom.

#include "rules/Modbus.h"
#include "scripted/ScriptedLine.h"

#include <uartce.h>

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using uartce::scripted::line;

struct Exchange {
    std::uint16_t status;
    std::string reply; // as hex
    unsigned exception;
};

std::string bytes(const char* hex) {
    return portula::parseHexBytes(hex).value();
}
std::string rtu(const char* hex) {
    return portula::rtuFrame(bytes(hex));
}
std::string ascii(const char* hex) {
    return portula::asciiFrame(bytes(hex));
}
// A frame with one byte changed, as a collision or noise leaves it.
std::string hit(std::string frame, std::size_t at) {
    frame[at] = static_cast<char>(frame[at] ^ 0x10);
    return frame;
}

Exchange modbus(std::uint8_t mode, const char* request, std::uint16_t timeoutMs = 50) {
    const std::string r = bytes(request);
    std::array<std::uint8_t, 260> reply{};
    std::uint32_t length = 0;
    std::uint8_t exception = 0xEE;
    const std::uint16_t status =
        UARTCE_ModbusExchange(1, mode, reinterpret_cast<const std::uint8_t*>(r.data()),
                              static_cast<std::uint32_t>(r.size()), reply.data(), reply.size(),
                              &length, timeoutMs, &exception);
    return {
        status,
        portula::hexBytes(std::string_view(reinterpret_cast<const char*>(reply.data()), length)),
        exception};
}

void freshLine() {
    Close_Com(1);
    uartce::scripted::reset();
    ASSERT_EQ(Open_Com(1, 9600, 8, 0, 1), UARTCE_OK);
}

constexpr const char* kRead = "01 03 00 00 00 02";
constexpr const char* kReadReply = "01 03 04 00 0A 00 0B";
constexpr const char* kWrite = "01 06 00 01 00 03";

TEST(ModbusCalls, TheAnswerIsTheFrameFromTheSlaveWithTheFunction) {
    struct Case {
        const char* name;
        std::uint8_t mode = UARTCE_MODBUS_RTU;
        const char* request = kRead;
        std::vector<std::string> pieces;
        std::uint16_t status;
        std::string reply = "";
        unsigned exception = 0;
        std::size_t left = 0; // pieces the call never waited for
    };
    const Case cases[] = {
        {.name = "the reply",
         .pieces = {rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "echo and reply in one read",
         .pieces = {rtu(kRead) + rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "echo, then the reply",
         .pieces = {rtu(kRead), rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "two echoes (two converters)",
         .pieces = {rtu(kRead), rtu(kRead), rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "the echo alone", .pieces = {rtu(kRead)}, .status = UARTCE_ERR_NO_REPLY},
        {.name = "echo garbled in its data (collision)",
         .pieces = {hit(rtu(kRead), 3), rtu(kReadReply)},
         .status = UARTCE_ERR_GARBLED_ECHO,
         .left = 1},
        {.name = "echo garbled in its CRC",
         .pieces = {hit(rtu(kRead), 7)},
         .status = UARTCE_ERR_GARBLED_ECHO},
        {.name = "another slave's frame, then ours",
         .pieces = {rtu("02 03 04 00 01 00 02"), rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "another function's frame, then ours",
         .pieces = {rtu("01 04 02 00 01") + rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "another slave's frame alone",
         .pieces = {rtu("02 03 04 00 01 00 02")},
         .status = UARTCE_ERR_NO_REPLY},
        {.name = "an exception",
         .pieces = {rtu("01 83 02")},
         .status = UARTCE_ERR_EXCEPTION,
         .reply = "01 83 02",
         .exception = 2},
        {.name = "another slave's exception, then our reply",
         .pieces = {rtu("07 83 02"), rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "a bad CRC",
         .pieces = {hit(rtu(kReadReply), 8), rtu(kReadReply)},
         .status = UARTCE_ERR_CHECKSUM,
         .reply = portula::hexBytes(hit(rtu(kReadReply), 8)),
         .left = 1},
        {.name = "a reply cut short waits for its length, then is cut",
         .pieces = {rtu(kReadReply).substr(0, 6)},
         .status = UARTCE_ERR_REPLY_CUT},
        {.name = "an exception's start waits for its length",
         .pieces = {rtu("01 83 02").substr(0, 2), rtu("01 83 02").substr(2)},
         .status = UARTCE_ERR_EXCEPTION,
         .reply = "01 83 02",
         .exception = 2},
        {.name = "ends by its length: what follows is not waited for",
         .pieces = {rtu(kReadReply), rtu("01 03 02 00 FF")},
         .status = UARTCE_OK,
         .reply = kReadReply,
         .left = 1},
        {.name = "ends by its length within one read",
         .pieces = {rtu(kReadReply) + rtu("01 03 02 00 FF")},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "a function of unknown length ends at the silence",
         .request = "01 11",
         .pieces = {rtu("01 11 05 50 4F 52 54 FF").substr(0, 4),
                    rtu("01 11 05 50 4F 52 54 FF").substr(4)},
         .status = UARTCE_OK,
         .reply = "01 11 05 50 4F 52 54 FF"},
        {.name = "the echo missing its first two bytes, the reply right after it",
         .pieces = {rtu(kRead).substr(2) + rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "the echo's end whose first bytes would give a frame's length",
         .request = "05 03 00 01 00 01",
         .pieces = {rtu("05 03 00 01 00 01").substr(2) + rtu("05 03 02 01 F5")},
         .status = UARTCE_OK,
         .reply = "05 03 02 01 F5"},
        {.name = "the echo missing its first byte, the reply right after it",
         .pieces = {rtu(kRead).substr(1) + rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "a reply that does not fit the request (a late one) is not its answer",
         .pieces = {rtu("01 03 02 01 F4"), rtu(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "a broadcast waits for nothing",
         .request = "00 06 00 01 00 03",
         .pieces = {rtu("00 06 00 01 00 03")},
         .status = UARTCE_OK,
         .left = 1},
        {.name = "ascii: echo, then the reply",
         .mode = UARTCE_MODBUS_ASCII,
         .pieces = {ascii(kRead), ascii(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "ascii: noise, another slave, then the reply",
         .mode = UARTCE_MODBUS_ASCII,
         .pieces = {"\n\x7f", ascii("02 03 02 00 01") + ascii(kReadReply)},
         .status = UARTCE_OK,
         .reply = kReadReply},
        {.name = "ascii: an exception",
         .mode = UARTCE_MODBUS_ASCII,
         .pieces = {ascii("01 83 03")},
         .status = UARTCE_ERR_EXCEPTION,
         .reply = "01 83 03",
         .exception = 3},
        {.name = "ascii: a bad LRC",
         .mode = UARTCE_MODBUS_ASCII,
         .pieces = {":010304000A000BE0\r\n"},
         .status = UARTCE_ERR_CHECKSUM,
         .reply = "3A 30 31 30 33 30 34 30 30 30 41 30 30 30 42 45 30 0D 0A"},
        {.name = "ascii: echo garbled",
         .mode = UARTCE_MODBUS_ASCII,
         .pieces = {hit(ascii(kRead), 4)},
         .status = UARTCE_ERR_GARBLED_ECHO},
        {.name = "ascii: a reply without its line end is cut",
         .mode = UARTCE_MODBUS_ASCII,
         .pieces = {ascii(kReadReply).substr(0, 10)},
         .status = UARTCE_ERR_REPLY_CUT},
    };
    for (const Case& c : cases) {
        freshLine();
        line().duringWait.assign(c.pieces.begin(), c.pieces.end());
        const Exchange e = modbus(c.mode, c.request);
        EXPECT_EQ(e.status, c.status) << c.name;
        EXPECT_EQ(e.reply, c.reply) << c.name;
        EXPECT_EQ(e.exception, c.exception) << c.name;
        EXPECT_EQ(line().duringWait.size(), c.left) << c.name;
        const std::string request = bytes(c.request);
        EXPECT_EQ(line().written, c.mode == UARTCE_MODBUS_RTU ? portula::rtuFrame(request)
                                                              : portula::asciiFrame(request))
            << c.name;
    }
}

// A single write's reply repeats its request byte for byte: only the count of copies the line
// returns tells it from the echo. The count is told, or learned from copies ahead of a reply
// that differs from its request; where it is known neither way, a copy is the echo or the reply
// and none is taken.
TEST(ModbusCalls, AWritesReplyIsToldFromItsEchoByTheLinesCount) {
    struct Case {
        const char* name;
        std::uint8_t mode = UARTCE_MODBUS_RTU;
        int told = -1;                            // UARTCE_SetModbusEcho
        std::vector<std::string> readPieces = {}; // what the reads ahead of the write get
        int reads = 1;                            // how many, when there are pieces
        std::vector<std::string> pieces;          // what comes after the write
        std::uint16_t status;
        std::string reply = "";
        std::size_t left = 0;
    };
    const std::string w = rtu(kWrite);
    const Case cases[] = {
        {.name = "learned 1: the echo, then the reply",
         .readPieces = {rtu(kRead), rtu(kReadReply)},
         .pieces = {w, w},
         .status = UARTCE_OK,
         .reply = kWrite},
        {.name = "learned 0 from two reads: the first copy is the reply",
         .readPieces = {rtu(kReadReply), rtu(kReadReply)},
         .reads = 2,
         .pieces = {w, w},
         .status = UARTCE_OK,
         .reply = kWrite,
         .left = 1},
        {.name = "learned 2 (two converters): two echoes, then the reply",
         .readPieces = {rtu(kRead), rtu(kRead), rtu(kReadReply)},
         .pieces = {w, w, w},
         .status = UARTCE_OK,
         .reply = kWrite},
        {.name = "learned 2: two echoes and no reply",
         .readPieces = {rtu(kRead), rtu(kRead), rtu(kReadReply)},
         .pieces = {w, w},
         .status = UARTCE_ERR_NO_REPLY},
        {.name = "learned 1: the echo and no reply",
         .readPieces = {rtu(kRead), rtu(kReadReply)},
         .pieces = {w},
         .status = UARTCE_ERR_NO_REPLY},
        {.name = "learned past a broadcast's echo",
         .readPieces = {rtu("00 06 00 02 00 09"), rtu(kRead), rtu(kReadReply)},
         .pieces = {w},
         .status = UARTCE_ERR_NO_REPLY},
        {.name = "ascii: not learned past a copy whose ':' came damaged",
         .mode = UARTCE_MODBUS_ASCII,
         .readPieces = {"8" + ascii(kRead).substr(1), ascii(kReadReply)},
         .pieces = {ascii(kWrite)},
         .status = UARTCE_ERR_ECHO_UNKNOWN},
        {.name = "ascii: learned 1",
         .mode = UARTCE_MODBUS_ASCII,
         .readPieces = {ascii(kRead), ascii(kReadReply)},
         .pieces = {ascii(kWrite)},
         .status = UARTCE_ERR_NO_REPLY},
        {.name = "one read with no copy ahead of its reply is not enough",
         .readPieces = {rtu(kReadReply)},
         .pieces = {w},
         .status = UARTCE_ERR_ECHO_UNKNOWN},
        {.name = "a frame still on its way came ahead of the echo and fit the read",
         .readPieces = {rtu(kReadReply), rtu(kRead), rtu(kReadReply)},
         .pieces = {w},
         .status = UARTCE_ERR_ECHO_UNKNOWN},
        {.name = "told 0", .told = 0, .pieces = {w}, .status = UARTCE_OK, .reply = kWrite},
        {.name = "told 1: the echo alone", .told = 1, .pieces = {w}, .status = UARTCE_ERR_NO_REPLY},
        {.name = "not known: one copy", .pieces = {w}, .status = UARTCE_ERR_ECHO_UNKNOWN},
        {.name = "not known: two copies", .pieces = {w, w}, .status = UARTCE_ERR_ECHO_UNKNOWN},
        {.name = "not known: the echo, then an exception",
         .pieces = {w, rtu("01 86 02")},
         .status = UARTCE_ERR_EXCEPTION,
         .reply = "01 86 02"},
        {.name = "told 0: a damaged reply is a bad check, not a garbled echo",
         .told = 0,
         .pieces = {hit(w, 3)},
         .status = UARTCE_ERR_CHECKSUM,
         .reply = portula::hexBytes(hit(w, 3))},
        {.name = "learned 1: a damaged first copy is the garbled echo",
         .readPieces = {rtu(kRead), rtu(kReadReply)},
         .pieces = {hit(w, 3), w},
         .status = UARTCE_ERR_GARBLED_ECHO,
         .left = 1},
        {.name = "told 0: another write's reply is not this one's",
         .told = 0,
         .pieces = {rtu("01 06 00 01 00 02"), w},
         .status = UARTCE_OK,
         .reply = kWrite},
    };
    for (const Case& c : cases) {
        freshLine();
        ASSERT_EQ(UARTCE_SetModbusEcho(1, c.told), UARTCE_OK) << c.name;
        if (!c.readPieces.empty()) {
            line().duringWait.assign(c.readPieces.begin(), c.readPieces.end());
            for (int r = 0; r < c.reads; ++r)
                ASSERT_EQ(modbus(c.mode, kRead).status, UARTCE_OK) << c.name;
            line().duringWait.clear();
        }
        line().duringWait.assign(c.pieces.begin(), c.pieces.end());
        const Exchange e = modbus(c.mode, kWrite);
        EXPECT_EQ(e.status, c.status) << c.name;
        EXPECT_EQ(e.reply, c.reply) << c.name;
        EXPECT_EQ(line().duringWait.size(), c.left) << c.name;
    }
    // What an exception showed is kept: one copy came ahead of it.
    freshLine();
    line().duringWait = {rtu(kWrite), rtu("01 86 02")};
    EXPECT_EQ(modbus(UARTCE_MODBUS_RTU, kWrite).status, UARTCE_ERR_EXCEPTION);
    line().duringWait = {rtu(kWrite), rtu(kWrite)};
    EXPECT_EQ(modbus(UARTCE_MODBUS_RTU, kWrite).status, UARTCE_OK);
    EXPECT_TRUE(line().duringWait.empty());
    // Only -1 to 2, and only on an open port.
    EXPECT_EQ(UARTCE_SetModbusEcho(1, 3), UARTCE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(UARTCE_SetModbusEcho(1, -2), UARTCE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(UARTCE_SetModbusEcho(2, 0), UARTCE_ERR_NOT_OPEN);
}

// A reply that comes after its request's time-out is that request's: the next request to the
// same slave and function listens for it first and drops it; one to another slave, or with
// another function, could not take it and does not wait.
TEST(ModbusCalls, ALateReplyIsNeverTheNextRequests) {
    struct Case {
        const char* name;
        std::uint8_t mode;
        const char* next;                // after kRead got no reply
        std::vector<std::string> pieces; // what comes then
        const char* reply;
        std::size_t dropsLate;
    };
    const Case cases[] = {
        {.name = "rtu, the same request",
         .mode = UARTCE_MODBUS_RTU,
         .next = kRead,
         .pieces = {rtu("01 03 04 00 01 00 01"), rtu(kReadReply)},
         .reply = kReadReply,
         .dropsLate = 1},
        {.name = "rtu, a late exception",
         .mode = UARTCE_MODBUS_RTU,
         .next = kRead,
         .pieces = {rtu("01 83 04"), rtu(kReadReply)},
         .reply = kReadReply,
         .dropsLate = 1},
        {.name = "ascii, the same request",
         .mode = UARTCE_MODBUS_ASCII,
         .next = kRead,
         .pieces = {ascii("01 03 04 00 01 00 01"), ascii(kReadReply)},
         .reply = kReadReply,
         .dropsLate = 1},
        {.name = "another slave does not wait",
         .mode = UARTCE_MODBUS_RTU,
         .next = "02 03 00 00 00 02",
         .pieces = {rtu("02 03 04 00 0A 00 0B")},
         .reply = "02 03 04 00 0A 00 0B",
         .dropsLate = 0},
    };
    for (const Case& c : cases) {
        freshLine();
        ASSERT_EQ(UARTCE_SetLateWindow(1, 5000), UARTCE_OK);
        EXPECT_EQ(modbus(c.mode, kRead, 1).status, UARTCE_ERR_NO_REPLY) << c.name;
        line().duringWait.assign(c.pieces.begin(), c.pieces.end());
        const Exchange e = modbus(c.mode, c.next);
        EXPECT_EQ(e.status, UARTCE_OK) << c.name;
        EXPECT_EQ(e.reply, c.reply) << c.name;
        uartce_drops drops{};
        drops.size = sizeof drops;
        ASSERT_EQ(UARTCE_Drops(1, &drops), UARTCE_OK);
        EXPECT_EQ(drops.late, c.dropsLate) << c.name;
    }
}

TEST(ModbusCalls, BadArgumentsAreRefusedBeforeAnythingGoesOut) {
    freshLine();
    const std::uint8_t request[] = {1, 3, 0, 0, 0, 2};
    const std::uint8_t noFunction[] = {1, 0, 0, 0, 0, 2};
    const std::uint8_t exceptionCode[] = {1, 0x83, 0, 0, 0, 2};
    std::array<std::uint8_t, 16> reply{};
    std::uint32_t length = 0;
    struct Case {
        const char* name;
        std::uint8_t mode;
        const std::uint8_t* request;
        std::uint32_t length;
        std::uint8_t* reply;
    };
    const Case cases[] = {
        {.name = "null request", .mode = 0, .request = nullptr, .length = 6, .reply = reply.data()},
        {.name = "one byte", .mode = 0, .request = request, .length = 1, .reply = reply.data()},
        {.name = "too long", .mode = 0, .request = request, .length = 254, .reply = reply.data()},
        {.name = "no such mode", .mode = 2, .request = request, .length = 6, .reply = reply.data()},
        {.name = "null reply", .mode = 0, .request = request, .length = 6, .reply = nullptr},
        {.name = "function 0",
         .mode = 0,
         .request = noFunction,
         .length = 6,
         .reply = reply.data()},
        {.name = "an exception's code",
         .mode = 0,
         .request = exceptionCode,
         .length = 6,
         .reply = reply.data()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UARTCE_ModbusExchange(1, c.mode, c.request, c.length, c.reply, 16, &length, 10,
                                        nullptr),
                  UARTCE_ERR_BAD_ARGUMENT)
            << c.name;
    }
    EXPECT_TRUE(line().written.empty());
    EXPECT_EQ(UARTCE_ModbusExchange(2, 0, request, 6, reply.data(), 16, &length, 10, nullptr),
              UARTCE_ERR_NOT_OPEN);
    // A reply longer than the caller's buffer.
    line().duringWait = {rtu(kReadReply)};
    EXPECT_EQ(UARTCE_ModbusExchange(1, 0, request, 6, reply.data(), 4, &length, 10, nullptr),
              UARTCE_ERR_REPLY_TOO_LONG);
}

} // namespace
