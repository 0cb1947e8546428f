// Which owed replies a line settles, and how long a command listens for them.

#include "OwedReplies.h"

#include <gtest/gtest.h>
#include <uartce.h>

namespace {

using uartce::Clock;
using uartce::OwedReplies;
using namespace std::chrono_literals;

struct Owe {
    int untilMs;
    const char* address; // null: anyone's
    bool mayLackAddress;
};

struct Case {
    const char* name;
    std::vector<Owe> owed;            // oldest first
    std::vector<std::string> lines;   // heard, in order, after it first asks
    const char* next;                 // the next command's address; null: unaddressed
    int nowMs;                        // when it asks
    std::optional<int> listenUntilMs; // none: no listen
};

std::vector<Case> cases() {
    return {
        {"NothingOwed", {}, {}, "01", 0, std::nullopt},
        {"SameModule", {{500, "01", false}}, {}, "01", 0, 500},
        {"AnotherModuleTellsItsReplyApart", {{500, "01", false}}, {}, "02", 0, std::nullopt},
        {"AReadingCouldPassForAnyones", {{500, "01", true}}, {}, "02", 0, 500},
        {"AnUnaddressedCommandsReplyToo", {{500, nullptr, true}}, {}, "02", 0, 500},
        {"AnUnaddressedNextCommandListensForAll", {{500, "01", false}}, {}, nullptr, 0, 500},
        {"PastItsWindow", {{500, "01", false}}, {}, "01", 500, std::nullopt},
        {"ItsReplySettlesIt", {{500, "01", false}}, {"!01X"}, "01", 0, std::nullopt},
        {"AnotherModulesLineDoesNot", {{500, "01", false}}, {"!02X"}, "01", 0, 500},
        {"TwoFailuresAreTwoLines",
         {{400, "01", false}, {500, "01", false}},
         {"!01X"},
         "01",
         0,
         500},
        // A reading may be answered with > or with its module's address.
        {"AReadingByItsValue", {{500, "01", true}}, {">+01.000"}, "02", 0, std::nullopt},
        {"AnAddressedReplyIsNoReading", {{500, "01", false}}, {">+01.000"}, "01", 0, 500},
        // Modules answer in turn: the late answer to an older command, past its window,
        // settles that command and not the reading owed after it.
        {"TheOldestFirstEvenPastItsWindow",
         {{100, "17", false}, {900, "17", true}},
         {"?17"},
         "12",
         300,
         900},
        {"AnLfOrNoiseBeforeTheReplyIsNoPartOfIt",
         {{500, "01", false}},
         {std::string("\n\xff\x80\0!01X", 8)},
         "01",
         0,
         std::nullopt},
        {.name = "TheLatestWindowIsListenedFor",
         .owed = {{500, "01", false}, {400, "01", false}},
         .lines = {},
         .next = "01",
         .nowMs = 0,
         .listenUntilMs = 500},
        // Anyone's reply is settled by a line with an address or without one.
        {.name = "AnyonesRepliesAreSettledByAnyLine",
         .owed = {{500, nullptr, false}, {400, nullptr, false}},
         .lines = {"!01X", ">+01.000"},
         .next = "02",
         .nowMs = 0,
         .listenUntilMs = std::nullopt},
        // Once forgotten, an old owed reply no longer takes its module's next line.
        {.name = "ForgottenTenSecondsAfterItsWindow",
         .owed = {{100, "17", false}, {20000, "17", true}},
         .lines = {"?17"},
         .next = "12",
         .nowMs = 10100,
         .listenUntilMs = std::nullopt},
    };
}

TEST(OwedReplies, LinesSettleTheOldestTheyCouldAnswer) {
    for (const Case& c : cases()) {
        const Clock::time_point t0{};
        OwedReplies owed;
        for (const Owe& o : c.owed)
            owed.owe(t0 + std::chrono::milliseconds(o.untilMs),
                     o.address ? std::optional<std::string>(o.address) : std::nullopt,
                     o.mayLackAddress);
        // As a command does: it asks how long to listen, hears lines, then asks again.
        const auto next = c.next ? std::optional<std::string>(c.next) : std::nullopt;
        const auto now = t0 + std::chrono::milliseconds(c.nowMs);
        owed.listenUntil(next, now);
        for (const std::string& line : c.lines)
            owed.heard(line);
        const auto until = owed.listenUntil(next, now);
        ASSERT_EQ(until.has_value(), c.listenUntilMs.has_value()) << c.name;
        if (until) {
            EXPECT_EQ(*until, t0 + std::chrono::milliseconds(*c.listenUntilMs)) << c.name;
        }
    }
}

// What is kept beyond the port is what is still owed: nothing past its window.
TEST(OwedReplies, OutstandingLeavesOutWhatHasPassed) {
    const Clock::time_point t0{};
    OwedReplies owed;
    owed.owe(t0 + 100ms, std::string("01"), false);
    owed.owe(t0 + 300ms, std::nullopt, true);
    const auto left = owed.outstanding(t0 + 200ms);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left.front().until, t0 + 300ms);
    EXPECT_TRUE(left.front().mayLackAddress);
    EXPECT_TRUE(owed.outstanding(t0 + 300ms).empty());
}

// Past the most it keeps, the oldest owed reply is forgotten.
TEST(OwedReplies, KeepsAtMostTheMostOwed) {
    const Clock::time_point t0{};
    OwedReplies owed;
    for (std::size_t i = 0; i <= OwedReplies::kMostOwed; ++i)
        owed.owe(t0 + std::chrono::milliseconds(i + 1), std::nullopt, true);
    const auto left = owed.outstanding(t0);
    ASSERT_EQ(left.size(), OwedReplies::kMostOwed);
    EXPECT_EQ(left.front().until, t0 + 2ms);
}

// What a command that ended with each status leaves owed, and to whom: a command without reply
// owes it by its address (a reading's > reply could be anyone's); the rest of a reply cut off,
// too long before its end, or of a garbled echo is owed to any next command.
TEST(LateReplies, WhatEachEndingLeavesOwed) {
    struct Case {
        const char* name;
        std::uint16_t status;
        bool namesModule;
        bool unfinished;
        bool owes;
        bool anotherModuleListens; // a command to 02 after this one to 01
    };
    const Case cases[] = {
        {.name = "answered",
         .status = UARTCE_OK,
         .namesModule = true,
         .unfinished = false,
         .owes = false,
         .anotherModuleListens = false},
        {.name = "bad checksum",
         .status = UARTCE_ERR_CHECKSUM,
         .namesModule = true,
         .unfinished = false,
         .owes = false,
         .anotherModuleListens = false},
        {.name = "no reply",
         .status = UARTCE_ERR_NO_REPLY,
         .namesModule = true,
         .unfinished = false,
         .owes = true,
         .anotherModuleListens = false},
        {.name = "no reply to a reading",
         .status = UARTCE_ERR_NO_REPLY,
         .namesModule = false,
         .unfinished = false,
         .owes = true,
         .anotherModuleListens = true},
        {.name = "cut off",
         .status = UARTCE_ERR_REPLY_CUT,
         .namesModule = true,
         .unfinished = true,
         .owes = true,
         .anotherModuleListens = true},
        {.name = "garbled echo",
         .status = UARTCE_ERR_GARBLED_ECHO,
         .namesModule = true,
         .unfinished = false,
         .owes = true,
         .anotherModuleListens = true},
        {.name = "too long, its end still to come",
         .status = UARTCE_ERR_REPLY_TOO_LONG,
         .namesModule = true,
         .unfinished = true,
         .owes = true,
         .anotherModuleListens = true},
        {.name = "too long, ended",
         .status = UARTCE_ERR_REPLY_TOO_LONG,
         .namesModule = true,
         .unfinished = false,
         .owes = false,
         .anotherModuleListens = false},
        {.name = "hung up",
         .status = UARTCE_ERR_HANGUP,
         .namesModule = true,
         .unfinished = true,
         .owes = false,
         .anotherModuleListens = false},
    };
    const Clock::time_point t0{};
    for (const Case& c : cases) {
        uartce::LateReplies late;
        late.opened(false, t0, {});
        late.setWindow(300ms);
        EXPECT_EQ(late.after(c.status, std::string("01"), c.namesModule, c.unfinished, t0, 200ms),
                  c.owes)
            << c.name;
        const auto same = late.listenFor(std::string("01"), 200ms, t0 + 10ms);
        EXPECT_EQ(same.has_value(), c.owes) << c.name;
        if (same) {
            EXPECT_EQ(*same, t0 + 500ms) << c.name << ": the time-out, then the window";
        }
        EXPECT_EQ(late.listenFor(std::string("02"), 200ms, t0 + 10ms).has_value(),
                  c.anotherModuleListens)
            << c.name;
    }
}

// A remote line's first command listens for one of its time-outs from the open; later ones do
// not, and replies recalled from the last close are owed from the start.
TEST(LateReplies, ARemoteLinesFirstCommandListensForTheClientBefore) {
    const Clock::time_point t0{};
    uartce::LateReplies remote;
    remote.opened(true, t0, {});
    EXPECT_FALSE(remote.openDebtTaken());
    EXPECT_EQ(remote.listenFor(std::string("05"), 150ms, t0 + 20ms), t0 + 150ms);
    EXPECT_TRUE(remote.openDebtTaken());
    EXPECT_TRUE(remote.heard(">1"));
    EXPECT_EQ(remote.stillListen(std::string("05"), t0 + 30ms), std::nullopt);

    uartce::LateReplies local;
    local.opened(false, t0, {{.until = t0 + 400ms, .address = "01", .mayLackAddress = false}});
    EXPECT_TRUE(local.openDebtTaken());
    EXPECT_EQ(local.listenFor(std::string("01"), 150ms, t0), t0 + 400ms);
    EXPECT_EQ(local.listenFor(std::string("02"), 150ms, t0), std::nullopt);
}

// What is owed is written down at once, then at most every store period while failures come
// fast, and always when forced; a port that never owed anything writes nothing.
TEST(LateReplies, WritesDownWhatIsOwedAtMostEveryPeriod) {
    const Clock::time_point t0{};
    uartce::LateReplies late;
    late.opened(false, t0, {});
    EXPECT_FALSE(late.storeDue(t0, true)) << "nothing owed, nothing kept";
    late.after(UARTCE_ERR_NO_REPLY, std::string("01"), true, false, t0, 100ms);
    ASSERT_TRUE(late.storeDue(t0, false));
    late.stored(true, false, t0);
    late.after(UARTCE_ERR_NO_REPLY, std::string("02"), true, false, t0 + 50ms, 100ms);
    EXPECT_FALSE(late.storeDue(t0 + 50ms, false));
    EXPECT_TRUE(late.dirty());
    EXPECT_TRUE(late.storeDue(t0 + 50ms, true)) << "a close writes it at once";
    EXPECT_TRUE(late.storeDue(t0 + uartce::LateReplies::kStorePeriod, false));
    late.stored(true, false, t0 + uartce::LateReplies::kStorePeriod);
    EXPECT_FALSE(late.dirty());
    EXPECT_EQ(late.outstanding(t0 + 50ms).size(), 2u);
}

} // namespace
