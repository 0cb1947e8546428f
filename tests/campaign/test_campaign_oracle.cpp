// The oracle on hand-written truth: which answers are right, wrong, excused or lost.

#include "campaign/Oracle.h"
#include "campaign/Truth.h"
#include "rules/Modbus.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

using campaign::Exchange;
using campaign::judgeRun;
using campaign::Kind;
using campaign::parseTruthLine;
using campaign::TruthRecord;
using campaign::Verdict;

std::vector<TruthRecord> truthOf(const std::vector<std::string>& lines) {
    std::vector<TruthRecord> out;
    for (const std::string& line : lines) {
        std::optional<TruthRecord> r = parseTruthLine(line);
        EXPECT_TRUE(r.has_value()) << line;
        if (r)
            out.push_back(*r);
    }
    return out;
}

Exchange exchange(std::string command, unsigned status, std::string reply, std::int64_t start,
                  std::int64_t end, unsigned timeoutMs = 100, bool checksum = false) {
    Exchange e;
    e.driver = "library";
    e.command = std::move(command);
    e.status = status;
    e.reply = std::move(reply);
    e.startUs = start;
    e.endUs = end;
    e.timeoutMs = timeoutMs;
    e.checksum = checksum;
    return e;
}

// A module at 01 asked $01M at 1.000 s and $01F at 2.000 s (times in us).
const std::string kHeardM = R"({"kind":"heard","command":"$01M","heard_us":1000100})";
const std::string kReplyM =
    R"({"kind":"reply","command":"$01M","heard_us":1000100,"bytes":"!01PORTULA-SIM\u000D","start_us":1001000,"end_us":1015000})";
const std::string kHeardF = R"({"kind":"heard","command":"$01F","heard_us":2000100})";
const std::string kReplyF =
    R"({"kind":"reply","command":"$01F","heard_us":2000100,"bytes":"!01A1.07\u000D","start_us":2001000,"end_us":2009000})";

struct Case {
    const char* name;
    std::vector<std::string> truth;
    std::vector<Exchange> run;
    Verdict expected;        // for the run's last exchange
    std::string excuse = ""; // the excusing record's kind, when excused
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Judged : public ::testing::TestWithParam<Case> {};

TEST_P(Judged, LastExchange) {
    const Case& c = GetParam();
    const std::vector<TruthRecord> truth = truthOf(c.truth);
    std::map<std::int64_t, unsigned> known;
    const auto verdicts = judgeRun(truth, c.run, campaign::OracleParams{}, known, 100);
    ASSERT_EQ(verdicts.size(), c.run.size());
    const campaign::Judgement& j = verdicts.back();
    EXPECT_EQ(campaign::verdictName(j.verdict), std::string(campaign::verdictName(c.expected)))
        << j.why;
    if (!c.excuse.empty()) {
        ASSERT_GE(j.excuse, 0);
        EXPECT_EQ(truth[j.excuse].kind == Kind::Duplicate ? "duplicate" : "reply", c.excuse);
    }
}

const std::string kLateM = // $01M's reply, 700 ms after its command: past 100 + 500 ms
    R"({"kind":"reply","command":"$01M","heard_us":1000100,"bytes":"!01PORTULA-SIM\u000D","start_us":1700100,"end_us":1714000})";
const std::string kSlowM = // 300 ms after: inside the window the library must keep
    R"({"kind":"reply","command":"$01M","heard_us":1000100,"bytes":"!01PORTULA-SIM\u000D","start_us":1300100,"end_us":1314000})";
const std::string kHeardM2 = R"({"kind":"heard","command":"$01M","heard_us":2000100})";

INSTANTIATE_TEST_SUITE_P(
    Oracle, Judged,
    ::testing::Values(
        Case{"OwnReply",
             {kHeardM, kReplyM},
             {exchange("$01M", 0, "!01PORTULA-SIM", 1000000, 1016000)},
             Verdict::Right},
        Case{"OwnReplyNotYetEnded",
             {kHeardM, kReplyM},
             {exchange("$01M", 0, "!01PORTULA-SIM", 1000000, 1010000)},
             Verdict::Wrong},
        Case{"AnotherCommandsReply",
             {kHeardM, kSlowM, kHeardF, kReplyF},
             {exchange("$01M", 10, "", 1000000, 1101000),
              exchange("$01F", 0, "!01PORTULA-SIM", 1101000, 1400000)},
             Verdict::Wrong},
        Case{
            // a frame held up on its way arrives with the next one: both heard at once
            "TwoHeardInOneInstant",
            {kHeardF, R"({"kind":"heard","command":"#01","heard_us":2000100})", kReplyF,
             R"({"kind":"reply","command":"#01","heard_us":2000100,"bytes":">+00.001\u000D","start_us":2009000,"end_us":2012000})"},
            {exchange("$01F", 10, "", 1800000, 1900000),
             exchange("#01", 0, ">+00.001", 1950000, 2013000)},
            Verdict::Right},
        Case{"NoReplyAtAll",
             {kHeardF},
             {exchange("$01F", 0, "!01A1.07", 2000000, 2100000)},
             Verdict::Wrong},
        Case{
            "EchoFragment",
            {kHeardF,
             R"({"kind":"echo","command":"$01F","bytes":"01F\u000D","start_us":2000000,"end_us":2000100})",
             kReplyF},
            {exchange("$01F", 0, "01F", 2000000, 2010000)},
            Verdict::Wrong},
        Case{
            "ChecksumDigitsRemoved",
            {R"({"kind":"heard","command":"$01FCB","heard_us":2000100})",
             R"({"kind":"reply","command":"$01FCB","heard_us":2000100,"bytes":"!01A1.0789\u000D","start_us":2001000,"end_us":2009000})"},
            {exchange("$01F", 0, "!01A1.07", 2000000, 2010000, 100, true)},
            Verdict::Right},
        Case{
            "ChecksumThatDoesNotHold",
            {R"({"kind":"heard","command":"$01FCB","heard_us":2000100})",
             R"({"kind":"reply","command":"$01FCB","heard_us":2000100,"bytes":"!01A1.0700\u000D","start_us":2001000,"end_us":2009000})"},
            {exchange("$01F", 0, "!01A1.07", 2000000, 2010000, 100, true)},
            Verdict::Wrong},
        Case{
            "CrLfEndingRemoved",
            {kHeardF,
             R"({"kind":"reply","command":"$01F","heard_us":2000100,"bytes":"!01A1.07\r\n","start_us":2001000,"end_us":2009000})"},
            {exchange("$01F", 0, "!01A1.07", 2000000, 2010000)},
            Verdict::Right},
        Case{
            "LfLeftInTheAnswer",
            {kHeardF,
             R"({"kind":"reply","command":"$01F","heard_us":2000100,"bytes":"!01A1.07\n\r","start_us":2001000,"end_us":2009000})"},
            {exchange("$01F", 0, "!01A1.07\n", 2000000, 2010000)},
            Verdict::Wrong},
        Case{
            "CutReply",
            {kHeardF,
             R"({"kind":"reply","command":"$01F","heard_us":2000100,"bytes":"!01A1","start_us":2001000,"end_us":2005000,"cut":true})"},
            {exchange("$01F", 0, "!01A1", 2000000, 2010000)},
            Verdict::Wrong},
        Case{
            "CrLfReplyCutAfterItsCr",
            {kHeardF,
             R"({"kind":"reply","command":"$01F","heard_us":2000100,"bytes":"!01A1.07\u000D","start_us":2001000,"end_us":2009000,"cut":true})"},
            {exchange("$01F", 0, "!01A1.07", 2000000, 2010000)},
            Verdict::Right},
        Case{
            "DuplicateOfAnEarlierReply",
            {kHeardM, kReplyM,
             R"({"kind":"duplicate","command":"$01M","heard_us":1000100,"bytes":"!01PORTULA-SIM\u000D","start_us":1040000,"end_us":1054000})",
             kHeardM2},
            {exchange("$01M", 0, "!01PORTULA-SIM", 1000000, 1016000),
             exchange("$01F", 0, "!01PORTULA-SIM", 1030000, 2200000)},
            Verdict::Excused,
            "duplicate"},
        // $01M took a duplicate of an earlier ?01; its own reply then came during $01F.
        Case{
            "AReplyADuplicateDisplaced",
            {R"({"kind":"duplicate","command":"$01X","heard_us":900000,"bytes":"?01\u000D","start_us":1000200,"end_us":1000900})",
             kHeardM,
             R"({"kind":"reply","command":"$01M","heard_us":1000100,"bytes":"!01PORTULA-SIM\u000D","start_us":1001500,"end_us":1015000})",
             kHeardF},
            {exchange("$01M", 0, "?01", 1000000, 1001000),
             exchange("$01F", 0, "!01PORTULA-SIM", 1001100, 2200000)},
            Verdict::Excused,
            "reply"},
        // A CR LF ending on a paced line: the answer is reported at the CR, a byte before the LF.
        Case{
            "ACrLfReplyIsWholeAtItsCr",
            {kHeardF,
             R"({"kind":"reply","command":"$01F","heard_us":2000100,"bytes":"!01A1.07\u000D\u000A","start_us":2001000,"end_us":2010000})"},
            {exchange("$01F", 0, "!01A1.07", 2000000, 2009100)},
            Verdict::Right},
        Case{"ReplyBeyondTheLateWindow",
             {kHeardM, kLateM, kHeardF},
             {exchange("$01M", 10, "", 1000000, 1101000),
              exchange("$01F", 0, "!01PORTULA-SIM", 1101000, 2200000)},
             Verdict::Excused,
             "reply"},
        Case{"LateWindowCountsFromTheEarlierCommandsOwnTimeout",
             {kHeardM, kLateM, kHeardF},
             {exchange("$01M", 10, "", 1000000, 1251000, 250),
              exchange("$01F", 0, "!01PORTULA-SIM", 1251000, 2200000)},
             Verdict::Wrong},
        Case{"OwnReplyLost",
             {kHeardM, kReplyM},
             {exchange("$01M", 10, "", 1000000, 1100000)},
             Verdict::Lost},
        Case{"OwnReplyJustBeforeTheEnd",
             {kHeardM, kReplyM},
             {exchange("$01M", 10, "", 1000000, 1025000)},
             Verdict::Failed},
        Case{"NoReplyToLose",
             {kHeardF},
             {exchange("$01F", 10, "", 2000000, 2100000)},
             Verdict::Failed},
        // One process sending the same command twice: the order within the run matches them,
        // and its second answer ends before the end of the process.
        Case{
            "ProcessRunMatchedInOrder",
            {kHeardM, kReplyM, kHeardM2,
             R"({"kind":"reply","command":"$01M","heard_us":2000100,"bytes":"!01PORTULA-SIN\u000D","start_us":2001000,"end_us":2015000})"},
            {exchange("$01M", 0, "!01PORTULA-SIM", 900000, 2100000),
             exchange("$01M", 0, "!01PORTULA-SIM", 900000, 2100000)},
            Verdict::Wrong},
        // A run's first command answered after the second was heard cannot be right.
        Case{
            "ProcessAnswerFromAfterTheNextCommand",
            {kHeardM, kHeardF,
             R"({"kind":"reply","command":"$01M","heard_us":1000100,"bytes":"!01PORTULA-SIM\u000D","start_us":2001000,"end_us":2015000})"},
            {exchange("$01M", 0, "!01PORTULA-SIM", 900000, 2100000),
             exchange("$01F", 10, "", 900000, 2100000)},
            Verdict::Failed},
        Case{
            "CommandHeardAfterTheAnswerWasReported",
            {R"({"kind":"heard","command":"$01M","heard_us":1200000})",
             R"({"kind":"reply","command":"$01M","heard_us":1200000,"bytes":"!01PORTULA-SIM\u000D","start_us":1201000,"end_us":1215000})"},
            {exchange("$01M", 0, "!01PORTULA-SIM", 1000000, 1100000)},
            Verdict::Wrong}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Oracle, ProcessRunFirstAnswerJudgedAgainstItsOwnCommand) {
    // The first of two answers in one process: ruled wrong when its reply only ended after
    // the second command was heard.
    const auto truth = truthOf(
        {kHeardM, kHeardF,
         R"({"kind":"reply","command":"$01M","heard_us":1000100,"bytes":"!01PORTULA-SIM\u000D","start_us":2001000,"end_us":2015000})"});
    std::map<std::int64_t, unsigned> known;
    const auto verdicts = judgeRun(truth,
                                   {exchange("$01M", 0, "!01PORTULA-SIM", 900000, 2100000),
                                    exchange("$01F", 10, "", 900000, 2100000)},
                                   campaign::OracleParams{}, known, 100);
    EXPECT_EQ(verdicts[0].verdict, Verdict::Wrong) << verdicts[0].why;
}

struct LineCase {
    const char* name;
    std::string line;
    bool valid;
    Kind kind = Kind::Other;
    std::string bytes = "";
    std::string mode = "";
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class TruthLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(TruthLines, Parsed) {
    const LineCase& c = GetParam();
    const std::optional<TruthRecord> r = parseTruthLine(c.line);
    ASSERT_EQ(r.has_value(), c.valid);
    if (r) {
        EXPECT_EQ(r->kind, c.kind);
        EXPECT_EQ(r->bytes, c.bytes);
        EXPECT_EQ(r->mode, c.mode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Truth, TruthLines,
    ::testing::Values(
        LineCase{"ByteEscapes",
                 R"({"kind":"noise","bytes":"\u0000\u00FF\u000d\"\\x","start_us":1,"end_us":2})",
                 true, Kind::Noise, std::string("\0\xFF\r\"\\x", 6)},
        LineCase{
            "ReplyCut",
            R"({"kind":"reply","command":"#01","heard_us":5,"bytes":">+1","start_us":6,"end_us":7,"cut":true})",
            true, Kind::Reply, ">+1"},
        LineCase{"HeardNotUnderstood",
                 R"({"kind":"heard","command":"$01M","heard_us":3,"understood":false})", true,
                 Kind::Heard},
        LineCase{
            "ModbusRtuReply",
            R"({"kind":"reply","mode":"rtu","command":"\u0001\u0006\u0000\u0001\u0000\u0003\u0098\u000B","heard_us":5,"bytes":"\u0001\u0083\u0002\u00C0\u00F1","start_us":6,"end_us":7})",
            true, Kind::Reply, "\x01\x83\x02\xC0\xF1", "rtu"},
        LineCase{"ModbusAsciiHeard",
                 R"({"kind":"heard","mode":"ascii","command":":010300000001FB","heard_us":3})",
                 true, Kind::Heard, "", "ascii"},
        LineCase{"ReplyWithoutTimes", R"({"kind":"reply","command":"$01M","bytes":"!01"})", false},
        LineCase{"HeardWithoutTime", R"({"kind":"heard","command":"$01M"})", false},
        LineCase{"AboveAByte", R"({"kind":"noise","bytes":"\u0100","start_us":1,"end_us":2})",
                 false},
        LineCase{"CutOffLine", R"({"kind":"heard","command":"$01M","heard_us":3)", false},
        LineCase{"NotAnObject", R"(["heard"])", false}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(Truth, PortulaCmdResultLine) {
    const auto o = campaign::parseJsonObject(
        R"({"command":"$01M","reply":"!01\u0007X","status":0,"rtt_us":412})");
    ASSERT_TRUE(o);
    EXPECT_EQ(campaign::stringMember(*o, "reply"), std::string("!01\aX"));
    EXPECT_EQ(campaign::integerMember(*o, "status"), 0);
    EXPECT_EQ(campaign::stringMember(*o, "status"), std::nullopt);
    const auto soak = campaign::parseJsonObject(
        R"({"sent":5,"answered":4,"rtt_us":{"min":1,"median":2,"p99":3,"max":4}})");
    ASSERT_TRUE(soak);
    EXPECT_EQ(campaign::integerMember(*soak, "rtt_us.max"), 4);
}

TEST(Scan, ListedModulesMustBeOnTheLineAsListed) {
    const std::vector<campaign::Module> configured{{"01", 9600, false, "PORTULA-SIM-01"},
                                                   {"02", 9600, false, "PORTULA-SIM-02"}};
    EXPECT_TRUE(campaign::scanWrongs({configured[1]}, configured).empty());
    const std::vector<campaign::Module> listed{{"01", 9600, true, "PORTULA-SIM-01"},
                                               {"02", 19200, false, "PORTULA-SIM-02"},
                                               {"03", 9600, false, "PORTULA-SIM-01"},
                                               {"01", 9600, false, "PORTULA-SIM-0"}};
    EXPECT_EQ(campaign::scanWrongs(listed, configured), listed);
}

TEST(Soak, AnsweredNeverMoreThanTheRepliesOnTheLine) {
    const auto truth = truthOf({kHeardM, kReplyM, kHeardM2});
    EXPECT_EQ(campaign::soakInconsistency(2, 1, 2, truth, 900000, 2100000), "");
    EXPECT_NE(campaign::soakInconsistency(3, 3, 3, truth, 900000, 2100000), "");
    EXPECT_NE(campaign::soakInconsistency(1, 1, 2, truth, 900000, 2100000), "");
    // A reply from before the soak began is not one of its own.
    EXPECT_NE(campaign::soakInconsistency(3, 2, 3, truth, 1002000, 2100000), "");
}

} // namespace

namespace {

// A truth file's string: every byte as \u00XX.
std::string jsonBytes(std::string_view bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        char code[8];
        std::snprintf(code, sizeof code, "\\u%04X", c);
        out += code;
    }
    return out;
}

std::string bytesOf(const char* hex) {
    return *hex ? portula::parseHexBytes(hex).value() : std::string();
}

portula::ModbusMode modeOf(const std::string& mode) {
    return mode == "rtu" ? portula::ModbusMode::Rtu : portula::ModbusMode::Ascii;
}

// The request's frame as the slaves heard it: ASCII without its CR LF.
std::string heardFrame(const std::string& mode, const char* request) {
    std::string frame = portula::modbusFrame(modeOf(mode), bytesOf(request));
    if (mode == "ascii")
        frame.resize(frame.size() - 2);
    return frame;
}

struct ModbusRecord {
    const char* kind;        // heard, reply or duplicate
    const char* request;     // hex, without CRC or LRC
    std::int64_t heardUs;    // when the request ended
    const char* reply = "";  // hex, without CRC or LRC
    bool spoilCheck = false; // the reply's CRC or LRC does not hold
    const char* mode = "";   // the record's mode, when not the case's
};

std::string truthLine(const std::string& caseMode, const ModbusRecord& r) {
    const std::string mode = *r.mode ? r.mode : caseMode;
    std::string line = std::string(R"({"kind":")") + r.kind + R"(","mode":")" + mode +
                       R"(","command":")" + jsonBytes(heardFrame(mode, r.request)) +
                       R"(","heard_us":)" + std::to_string(r.heardUs);
    if (std::string(r.kind) != "heard") {
        std::string frame = portula::modbusFrame(modeOf(mode), bytesOf(r.reply));
        if (r.spoilCheck)
            frame[frame.size() - (mode == "rtu" ? 1 : 3)] ^= 1;
        line += R"(,"bytes":")" + jsonBytes(frame) + R"(","start_us":)" +
                std::to_string(r.heardUs + 1000) + R"(,"end_us":)" +
                std::to_string(r.heardUs + 9000);
    }
    return line + "}";
}

struct ModbusAnswer {
    const char* request;
    unsigned status;
    const char* reply; // hex, as portula-cmd --modbus printed it
    std::int64_t startUs, endUs;
};

// Modbus answers are judged by the same discipline as text: right only when the truth shows
// the slave sent exactly those bytes (their CRC or LRC holding) after that request.
TEST(Oracle, ModbusRepliesMustBeTheSlavesOwnFrame) {
    struct Case {
        const char* name;
        const char* mode;
        std::vector<ModbusRecord> truth;
        std::vector<ModbusAnswer> run;
        Verdict expected; // the run's last answer
    };
    const Case cases[] = {
        {.name = "its own reply",
         .mode = "rtu",
         .truth = {{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4"}},
         .run = {{"05 03 00 00 00 01", 0, "05 03 02 01 F4", 990000, 1020000}},
         .expected = Verdict::Right},
        {.name = "ascii, its own reply",
         .mode = "ascii",
         .truth = {{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4"}},
         .run = {{"05 03 00 00 00 01", 0, "05 03 02 01 F4", 990000, 1020000}},
         .expected = Verdict::Right},
        {.name = "one byte off",
         .mode = "rtu",
         .truth = {{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4"}},
         .run = {{"05 03 00 00 00 01", 0, "05 03 02 01 F5", 990000, 1020000}},
         .expected = Verdict::Wrong},
        {.name = "a frame whose CRC fails is no reply",
         .mode = "rtu",
         .truth = {{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4",
                    .spoilCheck = true}},
         .run = {{"05 03 00 00 00 01", 0, "05 03 02 01 F4", 990000, 1020000}},
         .expected = Verdict::Wrong},
        {.name = "a frame whose LRC fails is no reply",
         .mode = "ascii",
         .truth = {{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4",
                    .spoilCheck = true}},
         .run = {{"05 03 00 00 00 01", 0, "05 03 02 01 F4", 990000, 1020000}},
         .expected = Verdict::Wrong},
        {.name = "an exception is judged as an answer",
         .mode = "rtu",
         .truth = {{.kind = "heard", .request = "05 03 FF 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 FF 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 83 02"}},
         .run = {{"05 03 FF 00 00 01", 18, "05 83 02", 990000, 1020000}},
         .expected = Verdict::Right},
        {.name = "an exception the slave did not send",
         .mode = "rtu",
         .truth = {{.kind = "heard", .request = "05 03 FF 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 FF 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 83 02"}},
         .run = {{"05 03 FF 00 00 01", 18, "05 83 03", 990000, 1020000}},
         .expected = Verdict::Wrong},
        {.name = "the reply of the other mode",
         .mode = "rtu",
         .truth = {{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4",
                    .mode = "ascii"}},
         .run = {{"05 03 00 00 00 01", 0, "05 03 02 01 F4", 990000, 1020000}},
         .expected = Verdict::Wrong},
        {.name = "the earlier request's reply",
         .mode = "rtu",
         .truth = {{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4"},
                   {.kind = "heard", .request = "05 03 00 01 00 01", .heardUs = 1100000},
                   {.kind = "reply",
                    .request = "05 03 00 01 00 01",
                    .heardUs = 1100000,
                    .reply = "05 03 02 01 F5"}},
         .run = {{"05 03 00 00 00 01", 10, "", 990000, 1090000},
                 {"05 03 00 01 00 01", 0, "05 03 02 01 F4", 1090000, 1120000}},
         .expected = Verdict::Wrong},
        {.name = "no reply reported though its own had come",
         .mode = "ascii",
         .truth = {{.kind = "heard", .request = "05 06 00 01 00 07", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 06 00 01 00 07",
                    .heardUs = 1000000,
                    .reply = "05 06 00 01 00 07"}},
         .run = {{"05 06 00 01 00 07", 10, "", 990000, 1100000}},
         .expected = Verdict::Lost},
        {.name = "a duplicate of the earlier reply",
         .mode = "rtu",
         .truth = {{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000},
                   {.kind = "reply",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4"},
                   {.kind = "duplicate",
                    .request = "05 03 00 00 00 01",
                    .heardUs = 1000000,
                    .reply = "05 03 02 01 F4"},
                   {.kind = "heard", .request = "05 03 00 01 00 01", .heardUs = 1100000}},
         .run = {{"05 03 00 00 00 01", 0, "05 03 02 01 F4", 990000, 1020000},
                 {"05 03 00 01 00 01", 0, "05 03 02 01 F4", 1090000, 1120000}},
         .expected = Verdict::Excused},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines;
        for (const ModbusRecord& r : c.truth)
            lines.push_back(truthLine(c.mode, r));
        const std::vector<TruthRecord> truth = truthOf(lines);
        std::vector<Exchange> run;
        for (const ModbusAnswer& a : c.run) {
            Exchange e = exchange(heardFrame(c.mode, a.request), a.status, bytesOf(a.reply),
                                  a.startUs, a.endUs);
            e.modbus = c.mode;
            e.index = run.size();
            run.push_back(e);
        }
        std::map<std::int64_t, unsigned> known;
        const auto verdicts = judgeRun(truth, run, campaign::OracleParams{}, known, 100);
        ASSERT_EQ(verdicts.size(), run.size()) << c.name;
        EXPECT_EQ(std::string(campaign::verdictName(verdicts.back().verdict)),
                  campaign::verdictName(c.expected))
            << c.name << ": " << verdicts.back().why;
    }
}

std::vector<TruthRecord> modbusTruth(const char* mode, const std::vector<ModbusRecord>& records) {
    std::vector<std::string> lines;
    for (const ModbusRecord& r : records)
        lines.push_back(truthLine(mode, r));
    return truthOf(lines);
}

// A scan listing is right only for a slave on the line, listed once, at the line's framing,
// with the reply (and exception) that slave sent to the scan's request.
TEST(Scan, ModbusSlavesListedMustBeOnTheLineWithTheirOwnReply) {
    const ModbusRecord heard5{.kind = "heard", .request = "05 03 00 00 00 01", .heardUs = 1000000};
    const ModbusRecord reply5{.kind = "reply",
                              .request = "05 03 00 00 00 01",
                              .heardUs = 1000000,
                              .reply = "05 03 02 01 F4"};
    struct Case {
        const char* name;
        std::vector<ModbusRecord> truth;
        std::vector<campaign::ModbusListing> listed;
        std::vector<bool> wrong;
    };
    const campaign::ModbusListing right{5, 9600, "none", 1, bytesOf("05 03 02 01 F4"), {}};
    const auto with = [&](auto change) {
        campaign::ModbusListing m = right;
        change(m);
        return m;
    };
    ModbusRecord spoiled = reply5;
    spoiled.spoilCheck = true;
    ModbusRecord otherMode = reply5;
    otherMode.mode = "ascii";
    const Case cases[] = {
        {"the slave as it answered", {heard5, reply5}, {right}, {false}},
        {"an id no slave has", {heard5, reply5}, {with([](auto& m) { m.id = 6; })}, {true}},
        {"another rate", {heard5, reply5}, {with([](auto& m) { m.baud = 19200; })}, {true}},
        {"another parity", {heard5, reply5}, {with([](auto& m) { m.parity = "even"; })}, {true}},
        {"two stop bits", {heard5, reply5}, {with([](auto& m) { m.stopBits = 2; })}, {true}},
        {"a reply one bit off",
         {heard5, reply5},
         {with([](auto& m) { m.reply = bytesOf("05 03 02 01 F5"); })},
         {true}},
        {"a reply whose CRC failed", {heard5, spoiled}, {right}, {true}},
        {"the other mode's reply", {heard5, otherMode}, {right}, {true}},
        {"the slave never answered", {heard5}, {right}, {true}},
        {"an exception its reply does not carry",
         {heard5, reply5},
         {with([](auto& m) { m.exception = 2; })},
         {true}},
        {"listed twice", {heard5, reply5}, {right, right}, {false, true}},
    };
    campaign::ModbusLine line;
    line.mode = "rtu";
    line.ids = {5, 7};
    for (const Case& c : cases) {
        const std::vector<std::string> whys =
            campaign::modbusScanWrongs(c.listed, line, modbusTruth("rtu", c.truth));
        ASSERT_EQ(whys.size(), c.wrong.size()) << c.name;
        for (std::size_t k = 0; k < whys.size(); ++k)
            EXPECT_EQ(!whys[k].empty(), c.wrong[k]) << c.name << " #" << k << ": " << whys[k];
    }
}

// A soak repeats one request, so every reply taken is the slave's one reply: its totals must
// put them all where that reply counts, and never more than the line carried.
TEST(Soak, ModbusTotalsAgreeWithTheRepliesOnTheLine) {
    const auto rounds = [](const char* request, const char* reply, int n, bool spoilLast) {
        std::vector<ModbusRecord> out;
        for (int k = 0; k < n; ++k) {
            const std::int64_t at = 1000000 + 100000 * k;
            out.push_back({.kind = "heard", .request = request, .heardUs = at});
            out.push_back({.kind = "reply",
                           .request = request,
                           .heardUs = at,
                           .reply = reply,
                           .spoilCheck = spoilLast && k == n - 1});
        }
        return out;
    };
    const auto read = rounds("05 03 00 00 00 01", "05 03 02 01 F4", 3, true); // 2 whole
    const auto refused = rounds("05 03 03 E8 00 01", "05 83 02", 3, false);
    struct Case {
        const char* name;
        const std::vector<ModbusRecord>& truth;
        const char* request;
        campaign::SoakTotals totals;
        const char* expect; // nullptr: no --expect
        bool consistent;
    };
    const Case cases[] = {
        {"the whole replies answered",
         read,
         "05 03 00 00 00 01",
         {3, 2, 0, 0, 1, 0},
         "05 03 02 01 F4",
         true},
        {"more answered than whole replies",
         read,
         "05 03 00 00 00 01",
         {3, 3, 0, 0, 0, 0},
         "05 03 02 01 F4",
         false},
        {"the reply wanted counted unexpected",
         read,
         "05 03 00 00 00 01",
         {3, 1, 1, 0, 1, 0},
         "05 03 02 01 F4",
         false},
        {"another reply wanted, none answered",
         read,
         "05 03 00 00 00 01",
         {3, 0, 2, 1, 0, 0},
         "05 03 02 01 F5",
         true},
        {"another reply wanted, yet answered",
         read,
         "05 03 00 00 00 01",
         {3, 1, 1, 1, 0, 0},
         "05 03 02 01 F5",
         false},
        {"an exception unwanted is unexpected",
         refused,
         "05 03 03 E8 00 01",
         {3, 0, 3, 0, 0, 0},
         nullptr,
         true},
        {"an exception unwanted counted answered",
         refused,
         "05 03 03 E8 00 01",
         {3, 1, 2, 0, 0, 0},
         nullptr,
         false},
        {"the exception wanted",
         refused,
         "05 03 03 E8 00 01",
         {3, 3, 0, 0, 0, 0},
         "05 83 02",
         true},
        {"an id nobody has answered",
         read,
         "06 03 00 00 00 01",
         {3, 1, 0, 2, 0, 0},
         nullptr,
         false},
        {"an id nobody has, all timed out",
         read,
         "06 03 00 00 00 01",
         {3, 0, 0, 3, 0, 0},
         nullptr,
         true},
        {"outcomes that do not add up",
         read,
         "05 03 00 00 00 01",
         {3, 2, 0, 0, 0, 0},
         "05 03 02 01 F4",
         false},
        {"fewer sent than asked",
         read,
         "05 03 00 00 00 01",
         {2, 2, 0, 0, 0, 0},
         "05 03 02 01 F4",
         false},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> expect =
            c.expect ? std::optional<std::string>(bytesOf(c.expect)) : std::nullopt;
        const std::string why =
            campaign::modbusSoakInconsistency(c.totals, 3, "rtu", heardFrame("rtu", c.request),
                                              expect, modbusTruth("rtu", c.truth), 900000, 1400000);
        EXPECT_EQ(why.empty(), c.consistent) << c.name << ": " << why;
    }
    // Replies before the soak began are none of its own.
    EXPECT_NE(campaign::modbusSoakInconsistency(
                  {3, 2, 0, 0, 1, 0}, 3, "rtu", heardFrame("rtu", "05 03 00 00 00 01"),
                  bytesOf("05 03 02 01 F4"), modbusTruth("rtu", read), 1050000, 1400000),
              "");
}

} // namespace
