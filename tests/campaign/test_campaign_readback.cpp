// Reading answers back: term's --log and screen, and the dialog's receive field.

#include "campaign/Readback.h"

#include <gtest/gtest.h>

namespace {

using campaign::logTimeUs;
using campaign::missingInOrder;
using campaign::parseReceiveField;
using campaign::parseTermLog;
using campaign::screenLine;
using campaign::steadyWindow;
using campaign::TermAnswer;
using campaign::unescapeLogText;

TEST(TermLogTime, TakesTheOffsetFromUtcIntoAccount) {
    const struct {
        const char* stamp;
        std::optional<std::int64_t> us;
    } cases[] = {
        {"2026-12-09T18:30:33.961+0000", 1796841033961000},
        {"2026-12-09T19:30:33.961+0100", 1796841033961000},
        {"2026-12-09T13:00:33.961-0530", 1796841033961000},
        {"2024-02-29T00:00:00.000+0000", 1709164800000000}, // a leap day
        {"1969-12-31T23:00:00.000+0000", -3600000000},
        {"2026-12-09T18:30:33.961", std::nullopt},       // no offset
        {"2026-12-09 18:30:33.961+0000", std::nullopt},  // not ISO
        {"2026-13-09T18:30:33.961+0000", std::nullopt},  // month 13
        {"2026-12-09T18:30:33.9x1+0000", std::nullopt},  // not a digit
        {"2026-12-09T18:30:33.961+0000 ", std::nullopt}, // trailing blank
    };
    for (const auto& c : cases)
        EXPECT_EQ(logTimeUs(c.stamp), c.us) << c.stamp;
}

TEST(TermLogText, UndoesTermsEscapes) {
    const struct {
        std::string escaped;
        std::optional<std::string> bytes;
    } cases[] = {
        {"!01PORTULA-SIM", "!01PORTULA-SIM"},
        {"$01M\\r", "$01M\r"},
        {"\\n\\t\\\\", "\n\t\\"},
        {"\\x00\\xFF\\x7f", std::string("\0\xFF\x7F", 3)},
        {"", ""},
        {"abc\\", std::nullopt}, // an escape cut off
        {"\\x4", std::nullopt},  // one hex digit
        {"\\xZZ", std::nullopt}, // no hex digits
        {"\\q", std::nullopt},   // no such escape
        {"\\x-1", std::nullopt}, // a sign is not a digit
    };
    for (const auto& c : cases)
        EXPECT_EQ(unescapeLogText(c.escaped), c.bytes) << c.escaped;
}

// A log as term writes it with a CR LF module: the LF after each reply's CR arrives between
// the commands.
const char* const kLog = "2026-12-09T18:30:33.961+0000 > $01M\\r\n"
                         "2026-12-09T18:30:33.962+0000 < !01PORTULA-SIM\n"
                         "2026-12-09T18:30:33.962+0000 < \\n\n"
                         "2026-12-09T18:30:33.963+0000 > $03M\\r\n"
                         "2026-12-09T18:30:34.113+0000 ! Err_Code = 10 (no reply within 150 ms)\n"
                         "2026-12-09T18:30:34.114+0000 ! Err_Code = 14: the device went away\n"
                         "2026-12-09T18:30:34.200+0000 > #01\\r\n"
                         "2026-12-09T18:30:34.203+0000 < \n";

TEST(TermLog, EachFrameTakesTheLineRightAfterIt) {
    const campaign::TermLog log = parseTermLog(kLog);
    EXPECT_TRUE(log.problems.empty()) << log.problems.front();
    ASSERT_EQ(log.answers.size(), 3u);
    EXPECT_EQ(log.answers[0].frame, "$01M\r");
    EXPECT_EQ(log.answers[0].status, 0u);
    EXPECT_EQ(log.answers[0].reply, "!01PORTULA-SIM") << "not the LF that came after it";
    EXPECT_EQ(log.answers[0].sentUs, 1796841033961000);
    EXPECT_EQ(log.answers[0].answeredUs, 1796841033962000);
    EXPECT_EQ(log.answers[1].status, 10u);
    EXPECT_EQ(log.answers[1].failure, "Err_Code = 10 (no reply within 150 ms)");
    EXPECT_EQ(log.answers[2].frame, "#01\r");
    EXPECT_EQ(log.answers[2].status, 0u) << "an empty reply is a reply";
    EXPECT_EQ(log.answers[2].reply, "");
}

TEST(TermLog, ABrokenShapeIsToldAndNoAnswerIsMadeUp) {
    const struct {
        const char* name;
        std::string log;
        std::size_t answers;
        std::size_t problems;
    } cases[] = {
        {"a frame right after a frame",
         "2026-12-09T18:30:33.961+0000 > $01M\\r\n2026-12-09T18:30:33.962+0000 > $01F\\r\n"
         "2026-12-09T18:30:33.963+0000 < !01A1.07\n",
         1, 1},
        {"the last frame unanswered", "2026-12-09T18:30:33.961+0000 > $01M\\r\n", 0, 1},
        {"a status line in an answer's place",
         "2026-12-09T18:30:33.961+0000 > $01M\\r\n"
         "2026-12-09T18:30:33.962+0000 ! open at 9600 baud\n",
         0, 1},
        {"Err_Code without its number",
         "2026-12-09T18:30:33.961+0000 > $01M\\r\n2026-12-09T18:30:33.962+0000 ! Err_Code = \n", 0,
         1},
        {"a line without a time",
         "> $01M\\r\n2026-12-09T18:30:33.962+0000 > $01F\\r\n"
         "2026-12-09T18:30:33.963+0000 < !01A1.07\n",
         1, 1},
        {"a broken escape in a reply",
         "2026-12-09T18:30:33.961+0000 > $01M\\r\n2026-12-09T18:30:33.962+0000 < !01\\x4\n", 0, 2},
        {"arrivals and words before any frame",
         "2026-12-09T18:30:33.961+0000 < \\n\n2026-12-09T18:30:33.961+0000 ! the device is back\n",
         0, 0},
    };
    for (const auto& c : cases) {
        const campaign::TermLog log = parseTermLog(c.log);
        EXPECT_EQ(log.answers.size(), c.answers) << c.name;
        EXPECT_EQ(log.problems.size(), c.problems) << c.name;
    }
}

// term --modbus logs the reply's hex, and an exception or failed check right under it.
TEST(TermLog, ModbusRepliesAreHexAndTheStatusUnderThemIsTheirs) {
    const std::string log =
        "2026-12-09T18:30:33.961+0000 > \\x05\\x03\\x00\\x00\\x00\\x01\\x85\\x8E\n"
        "2026-12-09T18:30:33.966+0000 < 05 03 02 01 F4\n"
        "2026-12-09T18:30:33.967+0000 > :0503FF000001F8\\r\\n\n"
        "2026-12-09T18:30:33.968+0000 < 05 83 02\n"
        "2026-12-09T18:30:33.968+0000 ! Err_Code = 18 (exception 2)\n"
        "2026-12-09T18:30:33.969+0000 ! zz: not a request in hex bytes\n"
        "2026-12-09T18:30:33.970+0000 > \\x06\\x03\\x00\\x00\\x00\\x01\\x85\\xBD\n"
        "2026-12-09T18:30:34.070+0000 ! Err_Code = 10 (no reply)\n"
        "2026-12-09T18:30:34.071+0000 > \\x05\\x06\\x00\\x01\\x00\\x07\\x00\\x00\n"
        "2026-12-09T18:30:34.075+0000 < 05 06 00 01 00 08\n"
        "2026-12-09T18:30:34.075+0000 ! Err_Code = 12 (bad CRC)\n"
        "2026-12-09T18:30:34.080+0000 < \\x05\\x03\n"
        "2026-12-09T18:30:34.081+0000 > \\x05\\x03\\x00\\x00\\x00\\x01\\x85\\x8E\n"
        "2026-12-09T18:30:34.085+0000 < 05 03 02 01 F4\n";
    const campaign::TermLog parsed = parseTermLog(log, true);
    EXPECT_TRUE(parsed.problems.empty()) << parsed.problems.front();
    using namespace std::string_literals;
    const struct {
        std::string frame;
        unsigned status;
        std::string reply;
    } want[] = {
        {"\x05\x03\x00\x00\x00\x01\x85\x8E"s, 0, "\x05\x03\x02\x01\xF4"s},
        {":0503FF000001F8\r\n", 18, "\x05\x83\x02"},
        {"\x06\x03\x00\x00\x00\x01\x85\xBD"s, 10, ""},
        {"\x05\x06\x00\x01\x00\x07\x00\x00"s, 12, "\x05\x06\x00\x01\x00\x08"s},
        {"\x05\x03\x00\x00\x00\x01\x85\x8E"s, 0, "\x05\x03\x02\x01\xF4"s},
    };
    ASSERT_EQ(parsed.answers.size(), std::size(want));
    for (std::size_t k = 0; k < std::size(want); ++k) {
        EXPECT_EQ(parsed.answers[k].frame, want[k].frame) << k;
        EXPECT_EQ(parsed.answers[k].status, want[k].status) << k;
        EXPECT_EQ(parsed.answers[k].reply, want[k].reply) << k;
    }
    // Text that is no hex is no Modbus reply.
    EXPECT_EQ(parseTermLog("2026-12-09T18:30:33.961+0000 > \\x05\\x03\n"
                           "2026-12-09T18:30:33.966+0000 < !05PORTULA\n",
                           true)
                  .problems.size(),
              1u);
}

TEST(TermScreen, AnswersAreFoundInTheirOrderAmongOtherLines) {
    TermAnswer reply;
    reply.reply = std::string("!01\\A\x80\r", 7);
    EXPECT_EQ(screenLine(reply), "!01\\x5CA\\x80\\x0D");
    TermAnswer failure;
    failure.status = 10;
    failure.failure = "Err_Code = 10 (no reply within 80 ms)";
    EXPECT_EQ(screenLine(failure), failure.failure);

    const std::vector<std::string> screen{"!01A", "", "/dev/pts/3: 9600 baud", "!01B", "!01A"};
    const struct {
        std::vector<std::string> expected;
        std::size_t missing;
    } cases[] = {
        {{"!01A", "!01B", "!01A"}, 0},
        {{"!01A", "", "!01B"}, 0},
        {{"!01B", "!01A", "!01A"}, 1}, // the second !01A would have to come before !01B
        {{"!01C"}, 1},
        {{}, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(missingInOrder(screen, c.expected), c.missing)
            << ::testing::PrintToString(c.expected);
}

TEST(TermWindow, LogTimesMapIntoTheProcessLifetime) {
    TermAnswer a;
    a.sentUs = 10'000'000;
    a.answeredUs = 10'050'000;
    const std::int64_t offset = 9'000'000; // the wall clock is 9 s ahead
    const struct {
        const char* name;
        campaign::Window process;
        std::int64_t start, end;
    } cases[] = {
        {"inside", {0, 5'000'000}, 999'000, 1'052'000},
        {"clipped by the start", {1'020'000, 5'000'000}, 1'020'000, 1'052'000},
        {"clipped by the end", {0, 1'030'000}, 999'000, 1'030'000},
        {"outside: the whole process", {2'000'000, 3'000'000}, 2'000'000, 3'000'000},
    };
    for (const auto& c : cases) {
        const campaign::Window w = steadyWindow(a, offset, 1000, c.process);
        EXPECT_EQ(w.startUs, c.start) << c.name;
        EXPECT_EQ(w.endUs, c.end) << c.name;
    }
}

TEST(DialogField, OnlyErrCodeAloneIsAFailure) {
    const struct {
        std::string field;
        unsigned status;
        std::string reply;
    } cases[] = {
        {"Err_Code = 10", 10, ""},
        {"Err_Code = 14", 14, ""},
        {"!01PORTULA-SIM", 0, "!01PORTULA-SIM"},
        {"", 0, ""},
        {std::string("!01\0A", 5), 0, std::string("!01\0A", 5)},
        {"Err_Code = 10 (no reply)", 0, "Err_Code = 10 (no reply)"}, // the dialog adds no words
        {"Err_Code = ", 0, "Err_Code = "},
        {"Err_Code = 0", 0, "Err_Code = 0"},
        {"Err_Code = 99999999", 0, "Err_Code = 99999999"},
        {" Err_Code = 10", 0, " Err_Code = 10"},
    };
    for (const auto& c : cases) {
        const campaign::FieldAnswer f = parseReceiveField(c.field);
        EXPECT_EQ(f.status, c.status) << c.field;
        EXPECT_EQ(f.reply, c.reply) << c.field;
    }
}

} // namespace
