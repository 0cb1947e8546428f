// The Telnet / RFC 2217 codec, client side, on byte strings.

#include "Messages.h"
#include "Telnet.h"

#include <gtest/gtest.h>

namespace {

using namespace uartce::telnet;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// What the server answers when it accepts 9600 8N1 (as a real one did).
std::string confirmations(std::uint32_t baud = 9600, int dataSize = 8, int parity = 1,
                          int stopSize = 1) {
    return bytes({kIac,
                  kSb,
                  44,
                  101,
                  static_cast<int>(baud >> 24),
                  static_cast<int>((baud >> 16) & 0xFF),
                  static_cast<int>((baud >> 8) & 0xFF),
                  static_cast<int>(baud & 0xFF),
                  kIac,
                  kSe,
                  kIac,
                  kSb,
                  44,
                  102,
                  dataSize,
                  kIac,
                  kSe,
                  kIac,
                  kSb,
                  44,
                  103,
                  parity,
                  kIac,
                  kSe,
                  kIac,
                  kSb,
                  44,
                  104,
                  stopSize,
                  kIac,
                  kSe});
}

TEST(Telnet, StartOffersTheOptionAndSetsTheLine) {
    ComPortSettings s;
    s.baud = 115200;
    s.dataSize = 7;
    s.parity = 3;
    s.stopSize = 2;
    EXPECT_EQ(Session(s).start(),
              bytes({kIac, kWill, 44,  kIac, kSb, 44, 1,    0x00, 0x01, 0xC2, 0x00, kIac,
                     kSe,  kIac,  kSb, 44,   2,   7,  kIac, kSe,  kIac, kSb,  44,   3,
                     3,    kIac,  kSe, kIac, kSb, 44, 4,    2,    kIac, kSe}));
    s.baud = 0xFF00FF;
    EXPECT_EQ(Session(s).start().substr(3, 11),
              bytes({kIac, kSb, 44, 1, 0x00, kIac, kIac, 0x00, kIac, kIac, kIac}))
        << "IAC inside a subnegotiation is doubled";
}

TEST(Telnet, DataIsEscapedBothWays) {
    struct Row {
        std::string data;
        std::string wire;
    };
    const Row rows[] = {
        {.data = "$01M\r", .wire = "$01M\r"},
        {.data = bytes({0xFF}), .wire = bytes({0xFF, 0xFF})},
        {.data = bytes({'a', 0xFF, 0xFF, 'b', 0}),
         .wire = bytes({'a', 0xFF, 0xFF, 0xFF, 0xFF, 'b', 0})},
        {.data = "", .wire = ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(escapeData(r.data), r.wire);
        Session session{ComPortSettings{}};
        std::string data, replies;
        session.receive(r.wire, data, replies);
        EXPECT_EQ(data, r.data);
        EXPECT_EQ(replies, "");
    }
}

struct DecodeCase {
    const char* name;
    std::string in;
    std::string data;
    std::string replies;
    Session::Setup setup;
    const char* refusal;
};

std::vector<DecodeCase> decodeCases() {
    return {
        {"TheRecordedServerOpening",
         bytes({kIac, kWill, 3,   kIac, kDo,  3,     kIac, kWill, 1,   kIac, kDont,
                1,    kIac,  kDo, 0,    kIac, kWill, 0,    kIac,  kDo, 44,   kIac,
                kSb,  44,    107, 0,    kIac, kSe,   kIac, kWont, 44}) +
             confirmations(),
         // DONT ECHO and WONT COM-PORT-OPTION ask for what is so already: no answer.
         "", bytes({kIac, kDo, 3, kIac, kWill, 3, kIac, kDont, 1, kIac, kWill, 0, kIac, kDo, 0}),
         Session::Setup::Accepted, ""},
        {"RepeatedRequestsAreAnsweredOnce",
         bytes({kIac, kWill, 3, kIac, kWill, 3, kIac, kDo, 24, kIac, kDo, 24}), "",
         bytes({kIac, kDo, 3, kIac, kWont, 24}), Session::Setup::Pending, ""},
        {"DataAroundCommands", bytes({'!', kIac, 241, '0', kIac, kWill, 0, '1', '\r'}), "!01\r",
         bytes({kIac, kDo, 0}), Session::Setup::Pending, ""},
        {"AnotherBaudIsRefused", confirmations(19200), "", "", Session::Setup::Refused,
         "the server set 19200 baud instead of 9600"},
        {"AnotherParityIsRefused", confirmations(9600, 8, 3), "", "", Session::Setup::Refused,
         "parity even instead of none"},
        {"AnotherStopSizeIsRefused", confirmations(9600, 8, 1, 2), "", "", Session::Setup::Refused,
         "stop size 2 instead of 1"},
        {"DeclinedOption", bytes({kIac, kDont, 44}), "", "", Session::Setup::Refused,
         "declines the COM-PORT-OPTION"},
        // RFC 1143: only a change of state is answered, so that two sides cannot loop.
        {"AnOptionTurnedOffIsAnsweredOnce",
         bytes({kIac, kWill, 3, kIac, kWont, 3, kIac, kWont, 3, kIac, kDo, 0, kIac, kDont, 0, kIac,
                kDont, 0}),
         "", bytes({kIac, kDo, 3, kIac, kDont, 3, kIac, kWill, 0, kIac, kWont, 0}),
         Session::Setup::Pending, ""},
        {"RequestsToTurnOffWhatIsOffAreNotAnswered",
         bytes({kIac, kWont, 24, kIac, kDont, 24, kIac, kWont, 0, kIac, kDont, 3}), "", "",
         Session::Setup::Pending, ""},
        {"ComPortAcceptedThenDeclinedIsTurnedOff", bytes({kIac, kDo, 44, kIac, kDont, 44}), "",
         bytes({kIac, kWont, 44}), Session::Setup::Refused, "declines the COM-PORT-OPTION"},
        {"ModemStateNoticesChangeNothing",
         bytes({kIac, kSb, 44, 107, 0x30, kIac, kSe, kIac, kSb, 44, 106, 0x60, kIac, kSe, 'x'}),
         "x", "", Session::Setup::Pending, ""},
        {"AnOverlongSubnegotiationIsDropped",
         bytes({kIac, kSb, 44, 101}) + std::string(100, '\x01') + bytes({kIac, kSe, 'y'}), "y", "",
         Session::Setup::Pending, ""},
        {"ACommandBreaksOffASubnegotiation", bytes({kIac, kSb, 44, 101, 0, kIac, kWill, 3, 'z'}),
         "z", bytes({kIac, kDo, 3}), Session::Setup::Pending, ""},
        {"EscapedIacInsideASubnegotiation",
         bytes({kIac, kSb, 44, 101, 0, 0, kIac, kIac, kIac, kIac, kIac, kSe}), "", "",
         Session::Setup::Refused, "65535 baud"},
    };
}

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

// A purge request on the wire, and the server's confirmations counted (and nothing else).
TEST(Telnet, PurgeRequestsAndTheirConfirmations) {
    EXPECT_EQ(uartce::telnet::purge(uartce::telnet::kPurgeReceived),
              bytes({0xFF, 0xFA, 44, 12, 1, 0xFF, 0xF0}));
    struct Row {
        std::string fromServer;
        unsigned confirmed;
    };
    const Row rows[] = {
        {.fromServer = bytes({0xFF, 0xFA, 44, 112, 1, 0xFF, 0xF0}), .confirmed = 1},
        {.fromServer =
             bytes({0xFF, 0xFA, 44, 112, 3, 0xFF, 0xF0, 'x', 0xFF, 0xFA, 44, 112, 1, 0xFF, 0xF0}),
         .confirmed = 2},
        {.fromServer = bytes({0xFF, 0xFA, 44, 12, 1, 0xFF, 0xF0}),
         .confirmed = 0}, // a client's request, not an answer
        {.fromServer = bytes({0xFF, 0xFA, 44, 107, 0, 0xFF, 0xF0}), .confirmed = 0},
    };
    for (const Row& r : rows) {
        Session session{ComPortSettings{}};
        std::string data, replies;
        session.receive(r.fromServer, data, replies);
        EXPECT_EQ(session.purgesConfirmed(), r.confirmed);
    }
}

class TelnetDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(TelnetDecode, WholeAndBytewise) {
    const DecodeCase& c = GetParam();
    for (const bool bytewise : {false, true}) {
        Session session{ComPortSettings{}};
        std::string data, replies;
        if (bytewise)
            for (char ch : c.in)
                session.receive(std::string_view(&ch, 1), data, replies);
        else
            session.receive(c.in, data, replies);
        EXPECT_EQ(data, c.data) << (bytewise ? "bytewise" : "whole");
        EXPECT_EQ(replies, c.replies) << (bytewise ? "bytewise" : "whole");
        EXPECT_EQ(session.setup(), c.setup);
        EXPECT_NE(session.refusal().find(c.refusal), std::string::npos) << session.refusal();
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, TelnetDecode, ::testing::ValuesIn(decodeCases()),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Messages, DeviceNamesStayOnOneLine) {
    struct Row {
        std::string in;
        std::string out;
    };
    const Row rows[] = {
        {.in = "/dev/ttyUSB0", .out = "/dev/ttyUSB0"},
        {.in = "/dev/a\nb", .out = "/dev/a\\nb"},
        {.in = "a\\b\r\t", .out = "a\\\\b\\r\\t"},
        {.in = bytes({'x', 0x1B, 0x7F, 0xC3}), .out = "x\\x1B\\x7F\\xC3"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(uartce::escapeForLine(r.in), r.out);
}

TEST(Messages, GroupAdviceOnlyWhenTheGroupWouldHelp) {
    struct Row {
        uartce::AccessFacts facts;
        const char* says;
    };
    const Row rows[] = {
        {.facts = {"root", "dialout", 0660, false},
         .says = "add the user to the dialout group (sudo adduser $USER dialout)"},
        {.facts = {"root", "uucp", 0660, false}, .says = "add the user to the uucp group"},
        {.facts = {"root", "dialout", 0660, true},
         .says = "belongs to root:dialout with mode 0660"},
        {.facts = {"root", "tty", 0620, false}, .says = "belongs to root:tty with mode 0620"},
        {.facts = {"root", "root", 0000, false}, .says = "belongs to root:root with mode 0000"},
        {.facts = {"1001", "1001", 0600, false}, .says = "belongs to 1001:1001 with mode 0600"},
    };
    for (const Row& r : rows)
        EXPECT_NE(uartce::accessReason(r.facts).find(r.says), std::string::npos)
            << uartce::accessReason(r.facts);
}

} // namespace

namespace {

std::string controlAnswer(int value) {
    return bytes({kIac, kSb, 44, 105, value, kIac, kSe});
}

// Flow control is asked with SET-CONTROL only when some is wanted, and then must be confirmed;
// a session under way sets its line anew and waits for the new confirmations.
TEST(Telnet, FlowControlAndALineChangedOnASessionUnderWay) {
    ComPortSettings plain;
    EXPECT_EQ(Session(plain).start().find(bytes({kSb, 44, kSetControl})), std::string::npos);
    ComPortSettings hardware;
    hardware.flow = kFlowHardware;
    EXPECT_NE(Session(hardware).start().find(bytes({kIac, kSb, 44, 5, 3, kIac, kSe})),
              std::string::npos);

    struct Row {
        std::uint8_t flow;
        std::string answers;
        Session::Setup setup;
        const char* refusal = "";
    };
    const Row rows[] = {
        {.flow = 0, .answers = confirmations(), .setup = Session::Setup::Accepted},
        // An answer about another line (DTR on) is not taken for the flow control's.
        {.flow = kFlowHardware,
         .answers = confirmations() + controlAnswer(8),
         .setup = Session::Setup::Pending},
        {.flow = kFlowHardware,
         .answers = confirmations() + controlAnswer(3),
         .setup = Session::Setup::Accepted},
        {.flow = kFlowXonXoff,
         .answers = confirmations() + controlAnswer(1),
         .setup = Session::Setup::Refused,
         .refusal = "the server set flow control none instead of XON/XOFF"},
    };
    for (const Row& r : rows) {
        ComPortSettings wanted;
        wanted.flow = r.flow;
        Session session(wanted);
        std::string data, replies;
        session.receive(r.answers, data, replies);
        EXPECT_EQ(session.setup(), r.setup) << int(r.flow);
        EXPECT_EQ(session.refusal(), r.refusal);
    }

    Session session{ComPortSettings{}};
    std::string data, replies;
    session.receive(confirmations(), data, replies);
    ASSERT_EQ(session.setup(), Session::Setup::Accepted);
    ComPortSettings faster;
    faster.baud = 250000;
    faster.parity = 5; // space
    const std::string request = session.change(faster);
    EXPECT_EQ(request.find(bytes({kIac, kWill})), std::string::npos) << "no offer again";
    EXPECT_NE(request.find(bytes({kSb, 44, 1, 0x00, 0x03, 0xD0, 0x90})), std::string::npos);
    EXPECT_EQ(session.setup(), Session::Setup::Pending);
    session.receive(confirmations(), data, replies);
    EXPECT_EQ(session.setup(), Session::Setup::Refused) << "the old rate is not the new one";
    EXPECT_EQ(session.refusal(), "the server set 9600 baud instead of 250000");
    session.change(faster);
    session.receive(confirmations(250000, 8, 5), data, replies);
    EXPECT_EQ(session.setup(), Session::Setup::Accepted);
    EXPECT_EQ(data, "");
}

} // namespace
