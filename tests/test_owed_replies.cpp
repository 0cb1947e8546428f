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
    std::vector<const char*> lines;   // heard, in order, at 0 ms
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
         {"\n\xff!01X"},
         "01",
         0,
         std::nullopt},
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
        for (const char* line : c.lines)
            owed.heard(line);
        const auto until =
            owed.listenUntil(c.next ? std::optional<std::string>(c.next) : std::nullopt,
                             t0 + std::chrono::milliseconds(c.nowMs));
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
}

} // namespace
