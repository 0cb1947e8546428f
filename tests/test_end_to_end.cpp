// The dialog with the real serial and slot libraries, against the simulated module or a
// pseudo-terminal the test plays.

#include "DialogHarness.h"
#include "support/PseudoTerminal.h"
#include "support/SimProcess.h"

#include <cstdlib>
#include <unistd.h>

using testsupport::DialogTest;
using testsupport::PseudoTerminal;
using testsupport::SimProcess;
using namespace std::chrono_literals;

namespace {

class EndToEndTest : public DialogTest {
  protected:
    void TearDown() override {
        if (dlg && enabled(IDC_CLOSE_COM))
            click(IDC_CLOSE_COM);
        DialogTest::TearDown();
        ::unsetenv("UARTCE_COM1");
        ::unsetenv("UARTCE_COM2");
        ::unsetenv("KORVEXSDK_BACKPLANE");
    }
    bool shows(const QString& expected, int withinMs = 3000) {
        return QTest::qWaitFor([&] { return shown(IDC_RECEIVE_TEXT) == expected; }, withinMs);
    }
};

TEST_F(EndToEndTest, TheDefaultsGetTheModulesReply) {
    SimProcess sim(PORTULA_SIM_PATH, {});
    ASSERT_FALSE(sim.device().empty());
    ::setenv("UARTCE_COM2", sim.device().c_str(), 1);
    click(IDC_OPEN_COM);
    ASSERT_TRUE(enabled(IDC_SEND_MESSAGE)) << "the port did not open";
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01PORTULA-SIM");
    setText(IDC_SEND_TEXT, "$01F");
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01A1.07");
    setText(IDC_SEND_TEXT, "$02M");
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "Err_Code = 10") << "another address: no reply";
}

TEST_F(EndToEndTest, ChecksumModeOnBothSides) {
    SimProcess sim(PORTULA_SIM_PATH, {"--checksum"});
    ::setenv("UARTCE_COM2", sim.device().c_str(), 1);
    click(IDC_OPEN_COM);
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "Err_Code = 10") << "no checksum: the module ignores it";
    click(IDC_CLOSE_COM);
    click(IDC_CHECKSUM);
    click(IDC_OPEN_COM);
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01PORTULA-SIM");
}

TEST_F(EndToEndTest, AModuleOnADifferentLineStaysSilent) {
    SimProcess sim(PORTULA_SIM_PATH, {"--baud", "19200"});
    ::setenv("UARTCE_COM2", sim.device().c_str(), 1);
    click(IDC_OPEN_COM);
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "Err_Code = 10");
    click(IDC_CLOSE_COM);
    choose(IDC_BAUD_LIST, 4);
    click(IDC_OPEN_COM);
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01PORTULA-SIM");
}

TEST_F(EndToEndTest, PlainModesPutTheirBytesOnTheLineAndEchoesArePolled) {
    PseudoTerminal device;
    ::setenv("UARTCE_COM2", device.path().c_str(), 1);
    click(IDC_OPEN_COM);
    struct Case {
        int radio;
        const char* suffix;
        std::string bytes;
        const char* shown;
    };
    const Case cases[] = {
        {IDC_MODE_NONE, "", "$01M", "$01M"},          {IDC_MODE_LF, "", "$01M\n", "$01M\n"},
        {IDC_MODE_LF_CR, "", "$01M\n\r", "$01M\n"},   {IDC_MODE_CR_LF, "", "$01M\r\n", "$01M\n"},
        {IDC_MODE_DEF, "0D0A", "$01M\r\n", "$01M\n"}, {IDC_MODE_DEF, "1A", "$01M\x1A", "$01M\x1A"},
    };
    for (const Case& c : cases) {
        click(c.radio);
        setText(IDC_HEX_SUFFIX, c.suffix);
        click(IDC_SEND_MESSAGE);
        const std::string onTheLine = device.read(c.bytes.size(), 2s);
        EXPECT_EQ(onTheLine, c.bytes);
        EXPECT_EQ(device.drain(20ms), "") << "nothing more";
        device.write(onTheLine); // the device echoes; the poll timer collects
        EXPECT_TRUE(shows(QString::fromLatin1(c.shown))) << shown(IDC_RECEIVE_TEXT).toStdString();
    }
}

TEST_F(EndToEndTest, AutomaticSendingKeepsGoing) {
    PseudoTerminal device;
    ::setenv("UARTCE_COM2", device.path().c_str(), 1);
    click(IDC_MODE_CR_LF);
    click(IDC_OPEN_COM);
    setText(IDC_INTERVAL, "100");
    click(IDC_SET);
    click(IDC_START);
    std::string line;
    int frames = 0;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            line += device.drain(1ms);
            for (std::size_t at; (at = line.find("$01M\r\n")) != std::string::npos;) {
                ++frames;
                line.erase(0, at + 6);
            }
            return frames >= 20;
        },
        10000))
        << frames << " frames";
    click(IDC_STOP);
    EXPECT_TRUE(line.empty()) << "only whole frames: " << line;
}

TEST_F(EndToEndTest, SlotSwitchChangesWhichModuleAnswers) {
    const std::string socket = "/tmp/portula-backplane-test-" + std::to_string(::getpid());
    SimProcess sim(PORTULA_SIM_PATH, {"--baud", "115200", "--backplane", socket});
    ASSERT_FALSE(sim.device().empty());
    ::setenv("UARTCE_COM1", sim.device().c_str(), 1);
    ::setenv("KORVEXSDK_BACKPLANE", socket.c_str(), 1);
    choose(IDC_PORT_LIST, 0); // COM1 selects 115200
    click(IDC_OPEN_COM);
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "Err_Code = 10") << "no slot routed yet";
    click(IDC_SLOT_SWITCH); // slot 0: nothing is switched
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "Err_Code = 10");
    choose(IDC_SLOT_LIST, 2);
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01PX-16DI");
    choose(IDC_SLOT_LIST, 4);
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01PX-4RTD");
    ::unlink(socket.c_str());
}

} // namespace
