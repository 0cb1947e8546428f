// The dialog with the real serial and slot libraries, against the simulated module or a
// pseudo-terminal the test plays.

#include "DialogHarness.h"
#include "support/PseudoTerminal.h"
#include "support/SimProcess.h"
#include "support/TempTree.h"

#include <uartce.h>

#include <cstdlib>
#include <unistd.h>

using testsupport::DialogTest;
using testsupport::PseudoTerminal;
using testsupport::SimProcess;
using testsupport::TempTree;
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
    // The number stays as it was; the library's words for it wait in the field's tooltip, until
    // the field shows a reply again.
    EXPECT_EQ(dlg->GetDlgItem(IDC_RECEIVE_TEXT)->toolTip(),
              QString::fromUtf8(UARTCE_StatusText(UARTCE_ERR_NO_REPLY)));
    setText(IDC_SEND_TEXT, "$01M");
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "!01PORTULA-SIM");
    EXPECT_EQ(dlg->GetDlgItem(IDC_RECEIVE_TEXT)->toolTip(), "");
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
        {.radio = IDC_MODE_NONE, .suffix = "", .bytes = "$01M", .shown = "$01M"},
        {.radio = IDC_MODE_LF, .suffix = "", .bytes = "$01M\n", .shown = "$01M\n"},
        {.radio = IDC_MODE_LF_CR, .suffix = "", .bytes = "$01M\n\r", .shown = "$01M\n"},
        {.radio = IDC_MODE_CR_LF, .suffix = "", .bytes = "$01M\r\n", .shown = "$01M\n"},
        {.radio = IDC_MODE_DEF, .suffix = "0D0A", .bytes = "$01M\r\n", .shown = "$01M\n"},
        {.radio = IDC_MODE_DEF, .suffix = "1A", .bytes = "$01M\x1A", .shown = "$01M\x1A"},
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

// No UARTCE_COM variables: the ports come from a fake /dev with an adapter under serial/by-id,
// which a simulated module plays. The tree is in place before the dialog lists its ports.
class DiscoveredAdapterTest : public EndToEndTest {
  protected:
    static constexpr const char* kAdapter = "usb-FTDI_FT232R_USB_UART_A10K5XYZ-if00-port0";

    void SetUp() override {
        module = std::make_unique<SimProcess>(PORTULA_SIM_PATH, std::vector<std::string>{});
        ASSERT_FALSE(module->device().empty());
        tree.link(std::string("dev/serial/by-id/") + kAdapter, module->device());
        ::setenv("UARTCE_DEV_ROOT", tree.path("dev").c_str(), 1);
        ::setenv("UARTCE_SYS_ROOT", tree.mkdir("sys").c_str(), 1);
        ::setenv("UARTCE_SYSCONF_DIR", tree.mkdir("etc").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", tree.mkdir("home").c_str(), 1);
        ::unsetenv("UARTCE_COM2");
        ::unsetenv("UARTCE_COM3");
        EndToEndTest::SetUp();
    }
    void TearDown() override {
        EndToEndTest::TearDown();
        for (const char* name :
             {"UARTCE_DEV_ROOT", "UARTCE_SYS_ROOT", "UARTCE_SYSCONF_DIR", "XDG_CONFIG_HOME"})
            ::unsetenv(name);
    }
    QString tip(int index) const {
        return item<QComboBox>(IDC_PORT_LIST)->itemData(index, Qt::ToolTipRole).toString();
    }

    TempTree tree;
    std::unique_ptr<SimProcess> module;
};

TEST_F(DiscoveredAdapterTest, TheAdapterIsCom3WithItsNameAndAnswers) {
    EXPECT_EQ(tip(2), QString::fromStdString(module->device() + "  " + kAdapter));
    EXPECT_EQ(tip(1), QString::fromStdString(tree.path("dev/ttyS1") + " (absent)"));
    choose(IDC_PORT_LIST, 2);
    choose(IDC_BAUD_LIST, 3); // COM3 keeps 9600
    click(IDC_OPEN_COM);
    ASSERT_TRUE(enabled(IDC_SEND_MESSAGE))
        << dlg->GetDlgItem(IDC_OPEN_COM)->toolTip().toStdString();
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(text(IDC_RECEIVE_TEXT), "!01PORTULA-SIM");
}

TEST_F(DiscoveredAdapterTest, ARefusedOpenLeavesItsReasonOnTheButton) {
    choose(IDC_PORT_LIST, 3); // COM4: /dev/ttyS3 of the fake tree, which is not there
    click(IDC_OPEN_COM);
    EXPECT_FALSE(enabled(IDC_CLOSE_COM));
    const QString reason = dlg->GetDlgItem(IDC_OPEN_COM)->toolTip();
    EXPECT_TRUE(reason.startsWith("cannot open COM4 (")) << reason.toStdString();
    EXPECT_TRUE(reason.contains("set UARTCE_COM4")) << reason.toStdString();
    choose(IDC_PORT_LIST, 2);
    click(IDC_OPEN_COM);
    EXPECT_TRUE(enabled(IDC_CLOSE_COM));
    EXPECT_EQ(dlg->GetDlgItem(IDC_OPEN_COM)->toolTip(), "");
}

TEST_F(DiscoveredAdapterTest, AutomaticSendingRecoversWhenTheAdapterReturns) {
    choose(IDC_PORT_LIST, 2);
    choose(IDC_BAUD_LIST, 3);
    click(IDC_OPEN_COM);
    ASSERT_TRUE(enabled(IDC_START));
    setText(IDC_INTERVAL, "100");
    click(IDC_SET);
    click(IDC_START);
    EXPECT_TRUE(shows("!01PORTULA-SIM"));

    // Unplugged: the module and its device go away, the by-id link with them.
    tree.remove(std::string("dev/serial/by-id/") + kAdapter);
    module.reset();
    EXPECT_TRUE(shows("Err_Code = 14")) << text(IDC_RECEIVE_TEXT).toStdString();
    EXPECT_TRUE(enabled(IDC_STOP)) << "the dialog keeps sending as it was";

    // Plugged in again: another device behind the same by-id name.
    module = std::make_unique<SimProcess>(PORTULA_SIM_PATH, std::vector<std::string>{});
    ASSERT_FALSE(module->device().empty());
    tree.link(std::string("dev/serial/by-id/") + kAdapter, module->device());
    EXPECT_TRUE(shows("!01PORTULA-SIM", 5000)) << text(IDC_RECEIVE_TEXT).toStdString();
    click(IDC_STOP);
}

} // namespace
