// Sending, receiving, clearing and automatic sending through the real dialog, against the
// recording stand-ins of the serial library.

#include "DialogHarness.h"
#include "messaging/Receive.h"
#include "support/PlatformRecorder.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTimer>
#include <cstring>

using testsupport::DialogTest;

namespace {

class MessagingTest : public DialogTest {
  protected:
    void SetUp() override {
        recorder::reset();
        DialogTest::SetUp();
        click(IDC_OPEN_COM);
        recorder::reset();
    }
    void tick(int timerId) { dlg->OnTimer(timerId); }
    void receive(const std::string& bytes) {
        recorder::script().receiveChunk = bytes;
        recorder::script().dataWaiting = static_cast<std::uint32_t>(bytes.size());
        tick(RECEIVE_POLL_TIMER);
    }
};

TEST_F(MessagingTest, CommandModeShowsTheReply) {
    setText(IDC_RECEIVE_TEXT, "earlier reply");
    recorder::script().commandReply = "!01PORTULA-SIM";
    click(IDC_SEND_MESSAGE);
    const auto sent = recorder::callsTo("Send_Receive_Cmd");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "$01M");
    EXPECT_EQ(sent[0].args, (std::vector<long long>{2, 200, 0}));
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01PORTULA-SIM");
    EXPECT_TRUE(recorder::callsTo("Send_Binary").empty());
}

TEST_F(MessagingTest, CommandErrorsShowTheCode) {
    for (std::uint16_t code : {std::uint16_t{3}, std::uint16_t{10}, std::uint16_t{65535}}) {
        recorder::script().commandResult = code;
        click(IDC_SEND_MESSAGE);
        EXPECT_EQ(shown(IDC_RECEIVE_TEXT), QStringLiteral("Err_Code = %1").arg(code));
    }
}

TEST_F(MessagingTest, EmptyCommandGoesToTheLibrary) {
    setText(IDC_SEND_TEXT, "");
    click(IDC_SEND_MESSAGE);
    ASSERT_EQ(recorder::callsTo("Send_Receive_Cmd").size(), 1u);
    EXPECT_EQ(recorder::callsTo("Send_Receive_Cmd")[0].bytes, "");
}

TEST_F(MessagingTest, PlainModesSendTheFramedBytes) {
    struct Case {
        int radio;
        const char* text;
        const char* suffix;
        std::string bytes;
    };
    const Case cases[] = {
        {.radio = IDC_MODE_NONE, .text = "$01M", .suffix = "1A", .bytes = "$01M"},
        {.radio = IDC_MODE_NONE, .text = "", .suffix = "1A", .bytes = ""},
        {.radio = IDC_MODE_LF, .text = "", .suffix = "1A", .bytes = "\x0A"},
        {.radio = IDC_MODE_LF, .text = "ab", .suffix = "1A", .bytes = "ab\x0A"},
        {.radio = IDC_MODE_LF_CR, .text = "ab", .suffix = "1A", .bytes = "ab\x0A\x0D"},
        {.radio = IDC_MODE_CR_LF, .text = "$01M", .suffix = "1A", .bytes = "$01M\x0D\x0A"},
        {.radio = IDC_MODE_DEF, .text = "$01M", .suffix = "1A", .bytes = "$01M\x1A"},
        {.radio = IDC_MODE_DEF, .text = "x", .suffix = "0D0A", .bytes = "x\x0D\x0A"},
        {.radio = IDC_MODE_DEF, .text = "x", .suffix = "", .bytes = "x"},
        {.radio = IDC_MODE_DEF, .text = "x", .suffix = "1A3", .bytes = std::string("x\x1A\x03")},
        {.radio = IDC_MODE_DEF,
         .text = "x",
         .suffix = "00ff",
         .bytes = std::string("x\x00\xFF", 3)},
        {.radio = IDC_MODE_NONE, .text = "caf\u00e9", .suffix = "", .bytes = "caf\xE9"},
        {.radio = IDC_MODE_NONE, .text = "line1\nline2", .suffix = "", .bytes = "line1\r\nline2"},
    };
    for (const Case& c : cases) {
        recorder::reset();
        click(c.radio);
        setText(IDC_SEND_TEXT, QString::fromUtf8(c.text));
        setText(IDC_HEX_SUFFIX, c.suffix);
        setText(IDC_RECEIVE_TEXT, "old");
        click(IDC_SEND_MESSAGE);
        const auto sent = recorder::callsTo("Send_Binary");
        ASSERT_EQ(sent.size(), 1u) << c.text;
        EXPECT_EQ(sent[0].bytes, c.bytes) << c.text << " / " << c.suffix;
        EXPECT_EQ(sent[0].args.at(1), static_cast<long long>(c.bytes.size()));
        EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "") << "a send empties the receive field";
    }
}

// Text pasted into the send field goes out byte for byte: a line break, however it was pasted,
// as CR LF; a no-break space and every other Latin-1 character as its own byte.
TEST_F(MessagingTest, PastedTextGoesOutUnchangedButForLineBreaks) {
    std::string high;
    QString highText;
    for (int c = 0x80; c <= 0xFF; ++c) {
        high.push_back(static_cast<char>(c));
        highText += QChar(c);
    }
    struct Paste {
        QString text;
        std::string bytes;
    };
    const Paste pastes[] = {
        {.text = QStringLiteral("a\rb"), .bytes = "a\r\nb"},
        {.text = QStringLiteral("a\nb"), .bytes = "a\r\nb"},
        {.text = QStringLiteral("a\r\nb"), .bytes = "a\r\nb"},
        {.text = QStringLiteral("a\r\n\r\nb\n"), .bytes = "a\r\n\r\nb\r\n"},
        {.text = QString(QChar(0xA0)), .bytes = "\xA0"},
        {.text = highText, .bytes = high},
    };
    struct Mode {
        int radio;
        std::string ending;
    };
    const Mode modes[] = {{.radio = IDC_MODE_NONE, .ending = ""},
                          {.radio = IDC_MODE_LF, .ending = "\n"},
                          {.radio = IDC_MODE_LF_CR, .ending = "\n\r"},
                          {.radio = IDC_MODE_CR_LF, .ending = "\r\n"},
                          {.radio = IDC_MODE_DEF, .ending = "\x1A"}};
    auto* field = item<QPlainTextEdit>(IDC_SEND_TEXT);
    for (const Mode& m : modes) {
        click(m.radio);
        for (const Paste& p : pastes) {
            recorder::reset();
            field->clear();
            QGuiApplication::clipboard()->setText(p.text);
            field->paste();
            click(IDC_SEND_MESSAGE);
            const auto sent = recorder::callsTo("Send_Binary");
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].bytes, p.bytes + m.ending)
                << "mode " << m.radio << ", pasted " << p.text.toStdString();
        }
    }
}

TEST_F(MessagingTest, OverlongFramesAreRefusedWithOneLine) {
    struct Case {
        int radio;
        int textLength;
        int suffixLength;
        bool sent;
        const char* says;
    };
    const Case cases[] = {
        {.radio = IDC_MODE_NONE, .textLength = 1023, .suffixLength = 0, .sent = true, .says = ""},
        {.radio = IDC_MODE_NONE,
         .textLength = 1024,
         .suffixLength = 0,
         .sent = false,
         .says = "limit is 1023"},
        {.radio = IDC_MODE_CR_LF, .textLength = 1021, .suffixLength = 0, .sent = true, .says = ""},
        {.radio = IDC_MODE_CR_LF,
         .textLength = 1022,
         .suffixLength = 0,
         .sent = false,
         .says = "1024 bytes"},
        {.radio = IDC_MODE_CR, .textLength = 1023, .suffixLength = 0, .sent = true, .says = ""},
        {.radio = IDC_MODE_CR,
         .textLength = 5000,
         .suffixLength = 0,
         .sent = false,
         .says = "too long"},
        {.radio = IDC_MODE_DEF, .textLength = 10, .suffixLength = 100, .sent = true, .says = ""},
        {.radio = IDC_MODE_DEF,
         .textLength = 10,
         .suffixLength = 101,
         .sent = false,
         .says = "the limit is 100"},
        {.radio = IDC_MODE_DEF,
         .textLength = 1000,
         .suffixLength = 50,
         .sent = false,
         .says = "too long"},
    };
    for (const Case& c : cases) {
        recorder::reset();
        click(c.radio);
        setText(IDC_SEND_TEXT, QString(c.textLength, QLatin1Char('A')));
        setText(IDC_HEX_SUFFIX, QString(c.suffixLength, QLatin1Char('7')));
        click(IDC_SEND_MESSAGE);
        const std::size_t calls =
            recorder::callsTo("Send_Binary").size() + recorder::callsTo("Send_Receive_Cmd").size();
        EXPECT_EQ(calls, c.sent ? 1u : 0u) << c.textLength << "/" << c.suffixLength;
        if (!c.sent) {
            EXPECT_TRUE(shown(IDC_RECEIVE_TEXT).startsWith("Not sent:"));
            EXPECT_TRUE(shown(IDC_RECEIVE_TEXT).contains(c.says))
                << shown(IDC_RECEIVE_TEXT).toStdString();
            EXPECT_FALSE(shown(IDC_RECEIVE_TEXT).contains('\n'));
        }
        EXPECT_TRUE(messages.isEmpty()) << "no modal box";
    }
}

TEST_F(MessagingTest, ReceivePollingAppendsAndShows) {
    tick(RECEIVE_POLL_TIMER); // nothing waiting: nothing collected
    EXPECT_TRUE(recorder::callsTo("Receive_Cmd").empty());
    EXPECT_EQ(recorder::callsTo("DataSizeInCom").size(), 1u);

    receive("first\r\n");
    receive("second\r");
    receive("third\n\rfourth");
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "first\nsecond\nthird\nfourth");
    EXPECT_STREQ(terminalState.replyText, "first\r\nsecond\rthird\n\rfourth");
    EXPECT_EQ(recorder::callsTo("Receive_Cmd").at(0).args, (std::vector<long long>{2, 200, 0}));

    setText(IDC_RECEIVE_TEXT, "typed by the operator");
    receive("!");
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "first\nsecond\nthird\nfourth!");

    receive(std::string("ab\0cd", 5));
    EXPECT_TRUE(shown(IDC_RECEIVE_TEXT).endsWith(QString::fromUtf8("!ab\u2400cd")))
        << "a zero byte shows as a placeholder and hides nothing after it";
    receive("ef");
    EXPECT_TRUE(shown(IDC_RECEIVE_TEXT).endsWith(QString::fromUtf8("!ab\u2400cdef")));
}

// A steady stream at 115200 baud brings more than one chunk per tick: the tick goes on while
// data waits, up to its bound, and what is left waits for the next tick.
TEST_F(MessagingTest, ATickCollectsSeveralChunksWhileDataWaits) {
    const int chunks = messaging::kMaxChunksPerTick + 1;
    std::string all;
    for (int i = 0; i < chunks; ++i) {
        const std::string chunk(300, static_cast<char>('a' + i));
        all += chunk;
        if (i == 0)
            recorder::script().receiveChunk = chunk;
        else
            recorder::script().laterChunks.push_back(chunk);
    }
    recorder::script().dataWaiting = 300;
    tick(RECEIVE_POLL_TIMER);
    EXPECT_EQ(recorder::callsTo("Receive_Cmd").size(),
              static_cast<std::size_t>(messaging::kMaxChunksPerTick));
    tick(RECEIVE_POLL_TIMER);
    EXPECT_EQ(recorder::callsTo("Receive_Cmd").size(), static_cast<std::size_t>(chunks));
    // 1500 bytes fit under the 2047-byte rule: every chunk is there, in order.
    EXPECT_EQ(std::string(terminalState.replyText, terminalState.replyLength), all);
    tick(RECEIVE_POLL_TIMER);
    EXPECT_EQ(recorder::callsTo("Receive_Cmd").size(), static_cast<std::size_t>(chunks))
        << "nothing waiting: nothing collected";
}

TEST_F(MessagingTest, ReplyTextIsEmptiedBeforeItWouldPass2047Bytes) {
    struct Case {
        std::size_t held;
        std::size_t chunk;
        std::size_t after;
    };
    for (const Case& c : {Case{1500, 547, 2047}, Case{1500, 548, 548}, Case{2047, 1, 1},
                          Case{1024, 1023, 2047}, Case{1025, 1023, 1023}, Case{0, 1023, 1023}}) {
        click(IDC_CLEAR);
        std::memset(terminalState.replyText, 'h', c.held);
        terminalState.replyLength = c.held;
        receive(std::string(c.chunk, 'c'));
        EXPECT_EQ(std::strlen(terminalState.replyText), c.after) << c.held << "+" << c.chunk;
        EXPECT_EQ(terminalState.replyText[2047], '\0');
    }
}

TEST_F(MessagingTest, ReceiveCopesWithALibraryThatFillsTheWholeChunk) {
    receive(std::string(1024, 'x'));
    EXPECT_EQ(std::strlen(terminalState.replyText), 1023u);
}

TEST_F(MessagingTest, ClearEmptiesTheReplyEvenWhenClosed) {
    receive("data");
    click(IDC_CLOSE_COM);
    click(IDC_CLEAR);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "");
    EXPECT_EQ(terminalState.replyText[0], '\0');
}

TEST_F(MessagingTest, AutoSendTickSendsWithoutCollecting) {
    recorder::script().dataWaiting = 5;
    recorder::script().receiveChunk = "hello";
    recorder::script().commandReply = "!01X";
    tick(AUTO_SEND_TIMER);
    EXPECT_TRUE(recorder::callsTo("Receive_Cmd").empty());
    EXPECT_EQ(recorder::callsTo("Send_Receive_Cmd").size(), 1u);
    EXPECT_EQ(recorder::callsTo("DataSizeInCom").size(), 1u) << "every tick asks";
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01X");
}

TEST_F(MessagingTest, AutoSendUsesTheIntervalTakenWithSet) {
    setText(IDC_INTERVAL, "1000"); // typed, not taken with Set
    click(IDC_START);
    EXPECT_EQ(dlg->TimerPeriod(AUTO_SEND_TIMER), 500);
    click(IDC_STOP);
    EXPECT_FALSE(dlg->IsTimerRunning(AUTO_SEND_TIMER));
    EXPECT_TRUE(enabled(IDC_START));
    EXPECT_FALSE(enabled(IDC_STOP));

    struct Case {
        const char* text;
        std::uint32_t interval;
        int period;
        int messages;
    };
    const Case cases[] = {
        {.text = "1000", .interval = 1000, .period = 1000, .messages = 0},
        {.text = "100000", .interval = 100000, .period = 100000, .messages = 0},
        {.text = "100001", .interval = 100000, .period = 100000, .messages = 1},
        {.text = "abc", .interval = 100000, .period = 100000, .messages = 2},
        {.text = "0", .interval = 0, .period = CDialog::kMinTimerPeriodMs, .messages = 2}};
    for (const Case& c : cases) {
        setText(IDC_INTERVAL, c.text);
        click(IDC_SET);
        EXPECT_EQ(dlg->interval, c.interval) << c.text;
        EXPECT_EQ(messages.size(), c.messages) << c.text;
        click(IDC_START);
        EXPECT_EQ(dlg->TimerPeriod(AUTO_SEND_TIMER), c.period) << c.text;
        click(IDC_STOP);
    }
}

TEST_F(MessagingTest, AutoSendRunsOnTheRealTimerUntilClose) {
    recorder::script().commandReply = "!01";
    setText(IDC_INTERVAL, "20");
    click(IDC_SET);
    click(IDC_START);
    EXPECT_TRUE(
        QTest::qWaitFor([] { return recorder::callsTo("Send_Receive_Cmd").size() >= 3; }, 5000));
    click(IDC_CLOSE_COM);
    const std::size_t sends = recorder::callsTo("Send_Receive_Cmd").size();
    EXPECT_FALSE(dlg->IsTimerRunning(AUTO_SEND_TIMER));
    EXPECT_FALSE(dlg->IsTimerRunning(RECEIVE_POLL_TIMER));
    // A timer of the same period ticking three times shows that the stopped one had its chances.
    int referenceTicks = 0;
    QTimer reference;
    QObject::connect(&reference, &QTimer::timeout, [&] { ++referenceTicks; });
    reference.start(20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return referenceTicks >= 3; }, 5000));
    EXPECT_EQ(recorder::callsTo("Send_Receive_Cmd").size(), sends);
}

TEST_F(MessagingTest, ChangesToTextAndModeTakeEffectAtTheNextTick) {
    tick(AUTO_SEND_TIMER);
    click(IDC_MODE_LF);
    setText(IDC_SEND_TEXT, "next");
    tick(AUTO_SEND_TIMER);
    ASSERT_EQ(recorder::callsTo("Send_Binary").size(), 1u);
    EXPECT_EQ(recorder::callsTo("Send_Binary")[0].bytes, "next\n");
}

} // namespace
