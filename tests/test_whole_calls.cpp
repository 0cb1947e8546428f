// The library's rules over whole calls, on a scripted device where time passes at once: what
// must end a call, and which reply is owed to whom.

#include "scripted/ScriptedLine.h"

#include <uartce.h>

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using uartce::scripted::line;

constexpr std::size_t kEndless = 200'000; // reads a call could never get through in time

struct Reply {
    std::uint16_t status;
    std::string text;
};

Reply command(const char* text, std::uint16_t timeoutMs) {
    std::array<char, UARTCE_REPLY_BUFFER_SIZE> reply{};
    const std::uint16_t status = Send_Receive_Cmd(1, text, reply.data(), timeoutMs, 0, nullptr);
    return {status, reply.data()};
}

// COM1 open anew on a fresh line, with a late-reply window of 1 ms.
void freshLine() {
    Close_Com(1);
    uartce::scripted::reset();
    ASSERT_EQ(Open_Com(1, 9600, 8, 0, 1), UARTCE_OK);
    ASSERT_EQ(UARTCE_SetLateWindow(1, 1), UARTCE_OK);
}

// A device that never stops sending holds no call past its time-out: the deadline is looked at
// between reads, not only while waiting, in every loop that reads: the reply's, the listen for
// an owed reply, and the rest of a garbled echo.
TEST(WholeCalls, ADeviceThatNeverStopsSendingEndsTheCallAtItsTimeOut) {
    struct Case {
        const char* name;
        bool oweFirst;                 // a command without reply goes first
        std::vector<std::string> then; // what comes before the endless stream
        std::uint16_t status;
    };
    const Case cases[] = {
        {.name = "the reply", .oweFirst = false, .then = {}, .status = UARTCE_ERR_REPLY_TOO_LONG},
        {.name = "an owed reply's listen",
         .oweFirst = true,
         .then = {},
         .status = UARTCE_ERR_REPLY_TOO_LONG},
        {.name = "a garbled echo's rest",
         .oweFirst = false,
         .then = {"$0\x91"},
         .status = UARTCE_ERR_GARBLED_ECHO},
    };
    for (const Case& c : cases) {
        freshLine();
        if (c.oweFirst) {
            EXPECT_EQ(command("$01M", 1).status, UARTCE_ERR_NO_REPLY) << c.name;
        }
        line().duringWait.assign(c.then.begin(), c.then.end());
        line().endlessReads = kEndless;
        EXPECT_EQ(command("$01M", 2).status, c.status) << c.name;
        EXPECT_GT(line().endlessReads, kEndless / 2) << c.name << ": read on past the time-out";
    }
}

// A reply that was cut off as too long, before its end came, may still be under way: its rest
// is owed, and is no answer to the next command, whatever it looks like; so is the rest of a
// garbled echo's command. One that ended owes nothing, even after one that did not.
TEST(WholeCalls, TheRestOfATooLongReplyIsOwedToNoCommand) {
    struct Call {
        std::vector<std::string> pieces; // what comes to $01M
        std::uint16_t status;
    };
    const std::string tooLong = "!01" + std::string(2100, 'y');
    struct Case {
        const char* name;
        std::vector<Call> calls;
        std::string answer; // of the reading that follows
    };
    const Case cases[] = {
        {.name = "without its end",
         .calls = {{.pieces = {tooLong}, .status = UARTCE_ERR_REPLY_TOO_LONG}},
         .answer = ">+1.0"},
        {.name = "with its end",
         .calls = {{.pieces = {tooLong + "\r"}, .status = UARTCE_ERR_REPLY_TOO_LONG}},
         .answer = ">+9.9"},
        {.name = "with its end, after one without",
         .calls = {{.pieces = {tooLong}, .status = UARTCE_ERR_REPLY_TOO_LONG},
                   {.pieces = {"yy\r", tooLong + "\r"}, .status = UARTCE_ERR_REPLY_TOO_LONG}},
         .answer = ">+9.9"},
        {.name = "a garbled echo",
         .calls = {{.pieces = {"$0\x91M\r"}, .status = UARTCE_ERR_GARBLED_ECHO}},
         .answer = ">+1.0"},
    };
    for (const Case& c : cases) {
        freshLine();
        for (const Call& call : c.calls) {
            line().duringWait.assign(call.pieces.begin(), call.pieces.end());
            EXPECT_EQ(command("$01M", 50).status, call.status) << c.name;
        }
        line().duringWait = {">+9.9\r", ">+1.0\r"};
        const Reply r = command("#01", 50);
        EXPECT_EQ(r.status, UARTCE_OK) << c.name;
        EXPECT_EQ(r.text, c.answer) << c.name;
    }
}

// A reading's reply carries no address, so a late one is told by what was owed: one that comes
// while the next reading waits is the unanswered reading's, never the next module's answer. A
// command whose reply names its module owes nothing to a line without that name.
TEST(WholeCalls, ALateReadingIsTheUnansweredReadingsNotTheNextModules) {
    struct Case {
        const char* name;
        const char* unanswered; // goes first, and no reply comes in its time
        std::string answer;     // of the reading to module 02 that follows
    };
    const Case cases[] = {
        {.name = "after a reading", .unanswered = "#01", .answer = ">+2.0"},
        {.name = "after a name", .unanswered = "$01M", .answer = ">+9.9"},
    };
    for (const Case& c : cases) {
        freshLine();
        EXPECT_EQ(command(c.unanswered, 1).status, UARTCE_ERR_NO_REPLY) << c.name;
        line().duringWait = {">+9.9\r", ">+2.0\r"};
        const Reply r = command("#02", 50);
        EXPECT_EQ(r.status, UARTCE_OK) << c.name;
        EXPECT_EQ(r.text, c.answer) << c.name;
    }
}

} // namespace
