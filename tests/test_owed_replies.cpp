// Which owed replies a line settles, and how long a command listens for them.

#include "OwedReplies.h"

#include <gtest/gtest.h>

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

} // namespace
