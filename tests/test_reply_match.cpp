// Which bytes after a command are its reply: echo, garbled echo, another module's answer.

#include "ReplyMatch.h"

#include <gtest/gtest.h>

namespace {

using uartce::DropReason;
using uartce::ReplyMatcher;

struct Case {
    const char* name;
    std::string frame;
    std::vector<std::string> pieces; // as the line delivers them
    ReplyMatcher::State state;
    std::string reply{};
    std::vector<DropReason> dropped{};
    std::size_t after = 0; // bytes of the last piece left after the reply
    std::size_t maxReply = 2047;
};

std::vector<Case> cases() {
    using S = ReplyMatcher::State;
    return {
        {"PlainReply", "$01M\r", {"!01PORTULA-SIM\r"}, S::Done, "!01PORTULA-SIM", {}},
        {"EchoThenReply",
         "$01M\r",
         {"$01M\r!01PORTULA-SIM\r"},
         S::Done,
         "!01PORTULA-SIM",
         {DropReason::Echo}},
        {"EchoInPiecesThenReply",
         "$01M\r",
         {"$0", "1M", "\r!0", "1X\r"},
         S::Done,
         "!01X",
         {DropReason::Echo}},
        {"EchoAloneIsNoReply", "$01M\r", {"$01M\r"}, S::Collecting, "", {DropReason::Echo}},
        {"PartOfAnEchoIsNoReply", "$01M\r", {"$01"}, S::Collecting, "", {}},
        {"EchoWithChecksum", "$01MD2\r", {"$01MD2\r!0182\r"}, S::Done, "!0182", {DropReason::Echo}},
        // What follows a garbled echo is left for the caller to drop.
        {"AGarbledEchoIsNoReply",
         "$01M\r",
         {"$0\x91M\r!01X\r"},
         S::GarbledEcho,
         "",
         {DropReason::GarbledEcho},
         7},
        {"AnEchoGarbledInItsFirstByteIsNoReply",
         "$01M\r",
         {" 01M\r!01X\r"},
         S::GarbledEcho,
         "",
         {DropReason::GarbledEcho},
         5},
        // A garbled echo differs from the command in a quarter of its bytes at most; a line
        // further from it is noise on the line, dropped while the reply is still awaited.
        {"AnEchoGarbledInAQuarterOfItsBytesIsNoReply",
         "$01M0000\r",
         {"#01M000x\r!01X\r"},
         S::GarbledEcho,
         "",
         {DropReason::GarbledEcho},
         5},
        {"ALineFurtherFromTheEchoIsNoiseNotACollision",
         "$01M0000\r",
         {"#01Mxx00\r!01X\r"},
         S::Done,
         "!01X",
         {DropReason::NotAReply}},
        {"AShortLineTwoBytesFromTheEchoIsNoise",
         "$01M\r",
         {" 0xM\r!01X\r"},
         S::Done,
         "!01X",
         {DropReason::NotAReply}},
        {"AReplyOfTheCommandsLengthIsStillAReply", "$01M\r", {"!01M\r"}, S::Done, "!01M", {}},
        {"ALineUnlikeTheCommandIsAReply", "AT\r", {"OK\r"}, S::Done, "OK", {}},
        {"AnUnaddressedCommandsLookalikeReplyIsTaken", "PING\r", {"PONG\r"}, S::Done, "PONG", {}},
        {"AnotherModulesAnswerIsDropped",
         "$02M\r",
         {"!01PORTULA-SIM\r!02X\r"},
         S::Done,
         "!02X",
         {DropReason::OtherAddress}},
        {"AnotherModulesAnswerAloneLeavesNothing",
         "$02M\r",
         {"!01PORTULA-SIM\r"},
         S::Collecting,
         "",
         {DropReason::OtherAddress}},
        {"AnErrorReplyCarriesItsAddressToo",
         "$02M\r",
         {"?01\r?02\r"},
         S::Done,
         "?02",
         {DropReason::OtherAddress}},
        {"AddressesCompareWithoutCase", "$0aM\r", {"!0AX\r"}, S::Done, "!0AX", {}},
        {"AReplyWithoutAnAddressIsTaken", "#01\r", {">+05.00\r"}, S::Done, ">+05.00", {}},
        {"AnUnaddressedCommandTakesAnyReply", "HELLO\r", {"!01X\r"}, S::Done, "!01X", {}},
        {"AnEmptyCommandsEmptyReplyIsNoEcho", "\r", {"\r"}, S::Done, "", {}},
        // Another module's late answer before the echo: the echo is still told apart.
        {"AnotherModulesAnswerThenTheEcho",
         "$01M\r",
         {"!02xx\r$01M\r!01yy\r"},
         S::Done,
         "!01yy",
         {DropReason::OtherAddress, DropReason::Echo}},
        {"BytesAfterTheReplyAreLeft", "$01M\r", {"!01X\rNEXT"}, S::Done, "!01X", {}, 4},
        // Each kind of command has its kind of answer: a reading is no answer to $AAM, a name
        // no answer to a reading; ?AA answers either.
        {"AReadingIsNoAnswerToANameCommand",
         "$01M\r",
         {">+00.001\r!01X\r"},
         S::Done,
         "!01X",
         {DropReason::NotAReply}},
        {"ANameIsNoAnswerToAReading",
         "#01\r",
         {"!01X\r>+00.002\r"},
         S::Done,
         ">+00.002",
         {DropReason::NotAReply}},
        {"AQuestionMarkAnswersAReading", "#01\r", {"?01\r"}, S::Done, "?01", {}},
        {"TheEchoWithoutItsFirstByteIsNoAnswer",
         "$01M\r",
         {"01M\r!01X\r"},
         S::Done,
         "!01X",
         {DropReason::Echo}},
        {"ASecondEchoIsNoAnswer",
         "$01M\r",
         {"$01M\r$01M\r!01X\r"},
         S::Done,
         "!01X",
         {DropReason::Echo, DropReason::Echo}},
        {"NoiseAndAStrayLfBeforeTheReply",
         "$01M\r",
         {"\n\xff\x80!01X\r"},
         S::Done,
         "!01X",
         {DropReason::NotAReply}},
        {"AnLfCrEndingIsNoPartOfTheReply", "$01M\r", {"!01X\n\r"}, S::Done, "!01X", {}},
        {.name = "AnEchoGarbledInItsSecondByteIsNoReply",
         .frame = "$01M\r",
         .pieces = {"$x1M\r!01X\r"},
         .state = S::GarbledEcho,
         .dropped = {DropReason::GarbledEcho},
         .after = 8},
        // A quarter of a short command is still one byte; of six bytes, two are too many.
        {.name = "AThreeByteEchoGarbledInOneByteIsNoReply",
         .frame = "#01\r",
         .pieces = {" 01\r>+1.0\r"},
         .state = S::GarbledEcho,
         .dropped = {DropReason::GarbledEcho},
         .after = 6},
        {.name = "TwoBytesInSixAreMoreThanAQuarter",
         .frame = "$01M00\r",
         .pieces = {"#01Mx0\r!01X\r"},
         .state = S::Done,
         .reply = "!01X",
         .dropped = {DropReason::NotAReply}},
        // A reply's own lead byte is never taken for a collision.
        {.name = "AReadingOfTheCommandsLengthIsAReply",
         .frame = "#01\r",
         .pieces = {">01\r"},
         .state = S::Done,
         .reply = ">01"},
        // Only the first line, or the first after a line set aside before the echo, may be the
        // garbled echo; once the echo has come, lines like it are noise.
        {.name = "AnotherModulesAnswerThenAGarbledEcho",
         .frame = "$01M\r",
         .pieces = {"!02X\r 01M\r!01X\r"},
         .state = S::GarbledEcho,
         .dropped = {DropReason::OtherAddress, DropReason::GarbledEcho},
         .after = 5},
        {.name = "LinesLikeTheEchoAfterItAreNoise",
         .frame = "$01M\r",
         .pieces = {"$01M\r$01X\r$0Q\r!01X\r"},
         .state = S::Done,
         .reply = "!01X",
         .dropped = {DropReason::Echo, DropReason::NotAReply, DropReason::NotAReply}},
        // A line cut at the limit is no garbled echo, and leaves no overflow to the next.
        {.name = "AnOverlongLineIsNoiseAndTheNextMayBeTheGarbledEcho",
         .frame = "$01M\r",
         .pieces = {"X01MXYZ\r 01M\r!01X\r"},
         .state = S::GarbledEcho,
         .dropped = {DropReason::NotAReply, DropReason::GarbledEcho},
         .after = 5,
         .maxReply = 4},
        {.name = "NoiseThenTheEchoAreDroppedInTheOrderTheyCame",
         .frame = "$01M\r",
         .pieces = {"\xFF$01M\r!01X\r"},
         .state = S::Done,
         .reply = "!01X",
         .dropped = {DropReason::NotAReply, DropReason::Echo}},
        // High bytes are noise only where the command says what a reply looks like.
        {.name = "AnUnaddressedCommandsReplyKeepsItsHighBytes",
         .frame = "AT\r",
         .pieces = {"\xFFOK\r"},
         .state = S::Done,
         .reply = "\xFFOK"},
    };
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class ReplyMatch : public ::testing::TestWithParam<Case> {};

TEST_P(ReplyMatch, SortsWhatArrives) {
    const Case& c = GetParam();
    ReplyMatcher m(c.frame, portula::commandAddress(c.frame), c.maxReply);
    std::size_t left = 0;
    for (const std::string& piece : c.pieces)
        if (m.state() == ReplyMatcher::State::Collecting)
            left = piece.size() - m.feed(piece);
    EXPECT_EQ(m.state(), c.state);
    EXPECT_EQ(m.reply(), c.reply);
    std::vector<DropReason> reasons;
    for (const uartce::DroppedBytes& d : m.takeDropped())
        reasons.push_back(d.reason);
    EXPECT_EQ(reasons, c.dropped);
    EXPECT_EQ(left, c.after);
}

INSTANTIATE_TEST_SUITE_P(Lines, ReplyMatch, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

TEST(ReplyMatchAddresses, OfCommandsAndReplies) {
    EXPECT_EQ(portula::commandAddress("$01M"), "01");
    EXPECT_EQ(portula::commandAddress("~FF0"), "FF");
    EXPECT_EQ(portula::commandAddress("%0102"), "01");
    EXPECT_EQ(portula::commandAddress("$0G"), std::nullopt);
    EXPECT_EQ(portula::commandAddress("AT"), std::nullopt);
    EXPECT_EQ(portula::replyAddress("!0a"), "0a");
    EXPECT_EQ(portula::replyAddress(">1234"), std::nullopt);
    EXPECT_EQ(portula::replyAddress("!"), std::nullopt);
}

// A false start of an echo replayed as the reply: the reply ends at its terminator inside it,
// and what follows is left.
TEST(ReplyMatchReplay, AReplyEndingInsideAFalseEchoStartLeavesTheRest) {
    ReplyMatcher m(std::string("AB\x03"
                               "CD",
                               5),
                   std::nullopt, 2047, 0x03);
    const std::string arrived = std::string("AB\x03Z", 4);
    const std::size_t taken = m.feed(arrived);
    EXPECT_EQ(m.state(), ReplyMatcher::State::Done);
    EXPECT_EQ(m.reply(), "AB");
    EXPECT_EQ(taken, 3u) << "Z comes after the reply";
}

// The reply is cut at its limit and the overflow told; the CR still ends it.
TEST(ReplyMatchLimits, ALongReplyIsCutAndTold) {
    ReplyMatcher m("$01M\r", std::string("01"), 8);
    m.feed("!01ABCDEFGHIJ\r");
    EXPECT_EQ(m.state(), ReplyMatcher::State::Done);
    EXPECT_EQ(m.reply(), "!01ABCDE");
    EXPECT_TRUE(m.overflow());
    EXPECT_TRUE(m.replyBegun());
}

} // namespace
