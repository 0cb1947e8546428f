// Settings lists, open and close, against the recording stand-ins of the serial library.

#include "DialogHarness.h"
#include "support/PlatformRecorder.h"

using testsupport::DialogTest;

namespace {

class PortTest : public DialogTest {
  protected:
    void SetUp() override {
        recorder::reset();
        DialogTest::SetUp();
    }
    std::vector<long long> lastOpenArgs() const {
        const auto opens = recorder::callsTo("Open_Com");
        return opens.empty() ? std::vector<long long>{} : opens.back().args;
    }
};

TEST_F(PortTest, OpenHandsTheDefaultsWithStopBitCodeZero) {
    click(IDC_OPEN_COM);
    EXPECT_EQ(lastOpenArgs(), (std::vector<long long>{2, 9600, 8, 0, 0}));
}

TEST_F(PortTest, ListsWriteTheSettingsThatTheNextOpenUses) {
    struct Case {
        std::vector<std::pair<int, int>> choices; // (list, index) in order
        std::vector<long long> openArgs;          // port, baud, data bits, parity, stop code
        int baudShown;
    };
    const Case cases[] = {
        {.choices = {{IDC_PORT_LIST, 0}}, .openArgs = {1, 115200, 8, 0, 0}, .baudShown = 6},
        {.choices = {{IDC_PORT_LIST, 0}, {IDC_BAUD_LIST, 2}},
         .openArgs = {1, 4800, 8, 0, 0},
         .baudShown = 2},
        {.choices = {{IDC_PORT_LIST, 0}, {IDC_PORT_LIST, 4}},
         .openArgs = {5, 115200, 8, 0, 0},
         .baudShown = 6},
        {.choices = {{IDC_PORT_LIST, 19}}, .openArgs = {20, 9600, 8, 0, 0}, .baudShown = 3},
        {.choices = {{IDC_STOPBITS_LIST, 1}, {IDC_STOPBITS_LIST, 0}},
         .openArgs = {2, 9600, 8, 0, 1},
         .baudShown = 3},
        {.choices = {{IDC_STOPBITS_LIST, 1}}, .openArgs = {2, 9600, 8, 0, 2}, .baudShown = 3},
        {.choices = {{IDC_DATABITS_LIST, 0}, {IDC_PARITY_LIST, 2}},
         .openArgs = {2, 9600, 5, 2, 0},
         .baudShown = 3},
        {.choices = {{IDC_DATABITS_LIST, 2}, {IDC_PARITY_LIST, 1}},
         .openArgs = {2, 9600, 7, 1, 0},
         .baudShown = 3},
        {.choices = {{IDC_BAUD_LIST, 0}}, .openArgs = {2, 1200, 8, 0, 0}, .baudShown = 0},
    };
    for (const Case& c : cases) {
        terminalState = TerminalState{};
        auto local = std::make_unique<testsupport::TestDlg>();
        std::swap(local, dlg);
        dlg->Create();
        recorder::reset();
        for (const auto& [list, index] : c.choices)
            choose(list, index);
        EXPECT_EQ(dlg->GetCurSel(IDC_BAUD_LIST), c.baudShown);
        click(IDC_OPEN_COM);
        EXPECT_EQ(lastOpenArgs(), c.openArgs);
        local.reset();
    }
}

TEST_F(PortTest, PortEntriesShowTheirDevices) {
    auto* ports = item<QComboBox>(IDC_PORT_LIST);
    EXPECT_EQ(ports->itemData(0, Qt::ToolTipRole).toString(), "/dev/recorded1");
    EXPECT_EQ(ports->itemData(19, Qt::ToolTipRole).toString(), "/dev/recorded20");
}

TEST_F(PortTest, ChecksumFlagFollowsTheBox) {
    click(IDC_CHECKSUM);
    EXPECT_EQ(terminalState.checksum, 1);
    click(IDC_CHECKSUM);
    EXPECT_EQ(terminalState.checksum, 0);
}

TEST_F(PortTest, ControlStatesFollowOpenAutoSendAndClose) {
    const int settings[] = {IDC_PORT_LIST,   IDC_BAUD_LIST,     IDC_DATABITS_LIST,
                            IDC_PARITY_LIST, IDC_STOPBITS_LIST, IDC_CHECKSUM};
    choose(IDC_PORT_LIST, 2); // COM3
    click(IDC_OPEN_COM);
    EXPECT_FALSE(enabled(IDC_OPEN_COM));
    EXPECT_TRUE(enabled(IDC_CLOSE_COM));
    for (int id : settings)
        EXPECT_FALSE(enabled(id)) << id;
    EXPECT_FALSE(enabled(IDC_SLOT_SWITCH)) << "slot routing is for COM1 only";
    EXPECT_FALSE(enabled(IDC_SLOT_LIST));
    EXPECT_TRUE(enabled(IDC_SEND_MESSAGE));
    EXPECT_TRUE(enabled(IDC_START));
    EXPECT_FALSE(enabled(IDC_STOP));
    EXPECT_EQ(dlg->TimerPeriod(RECEIVE_POLL_TIMER), 100);
    EXPECT_FALSE(dlg->IsTimerRunning(AUTO_SEND_TIMER));

    click(IDC_START);
    EXPECT_FALSE(enabled(IDC_START));
    EXPECT_TRUE(enabled(IDC_STOP));
    EXPECT_EQ(dlg->TimerPeriod(AUTO_SEND_TIMER), 500);

    click(IDC_CLOSE_COM);
    EXPECT_EQ(recorder::callsTo("Close_Com").at(0).args, (std::vector<long long>{3}));
    EXPECT_TRUE(enabled(IDC_OPEN_COM));
    EXPECT_FALSE(enabled(IDC_CLOSE_COM));
    for (int id : settings)
        EXPECT_TRUE(enabled(id)) << id;
    for (int id : {IDC_START, IDC_STOP, IDC_SEND_MESSAGE})
        EXPECT_FALSE(enabled(id)) << id;
    EXPECT_FALSE(dlg->IsTimerRunning(RECEIVE_POLL_TIMER));
    EXPECT_FALSE(dlg->IsTimerRunning(AUTO_SEND_TIMER));

    click(IDC_OPEN_COM);
    EXPECT_TRUE(enabled(IDC_START));
    EXPECT_FALSE(enabled(IDC_STOP));
}

TEST_F(PortTest, RefusedOpenChangesNothingAndSaysNothing) {
    recorder::script().openResult = 5;
    click(IDC_OPEN_COM);
    EXPECT_TRUE(enabled(IDC_OPEN_COM));
    EXPECT_FALSE(enabled(IDC_CLOSE_COM));
    EXPECT_FALSE(enabled(IDC_SEND_MESSAGE));
    EXPECT_TRUE(enabled(IDC_PORT_LIST));
    EXPECT_FALSE(dlg->IsTimerRunning(RECEIVE_POLL_TIMER));
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "");
}

TEST_F(PortTest, TheOpenButtonHoldsTheLastRefusalsReason) {
    QWidget* button = dlg->GetDlgItem(IDC_OPEN_COM);
    const QString own = button->toolTip();
    struct Step {
        std::uint16_t result;
        const char* reason;
        QString tip; // what the button shows afterwards
        bool open;
    };
    const Step steps[] = {
        {.result = 5,
         .reason = "cannot open COM2 (/dev/ttyUSB0): another program holds it",
         .tip = "cannot open COM2 (/dev/ttyUSB0): another program holds it",
         .open = false},
        {.result = 4,
         .reason = "cannot open COM2 (/dev/ttyUSB0): permission denied",
         .tip = "cannot open COM2 "
                "(/dev/ttyUSB0): permission denied",
         .open = false},
        {.result = 3,
         .reason = "",
         .tip = "cannot open COM2 (/dev/ttyUSB0): permission denied",
         .open = false},
        {.result = 0, .reason = "", .tip = own, .open = true},
    };
    for (const Step& s : steps) {
        recorder::script().openResult = s.result;
        recorder::script().lastError = s.reason;
        click(IDC_OPEN_COM);
        EXPECT_EQ(button->toolTip(), s.tip) << s.result;
        EXPECT_EQ(enabled(IDC_CLOSE_COM), s.open) << s.result;
        EXPECT_TRUE(messages.isEmpty()) << "nothing modal";
    }
    EXPECT_EQ(recorder::callsTo("UARTCE_LastError").size(), 3u) << "asked after refusals only";
    EXPECT_EQ(recorder::callsTo("UARTCE_LastError").front().args, (std::vector<long long>{2}));
}

TEST_F(PortTest, SlotRoutingOnComOne) {
    choose(IDC_PORT_LIST, 0);
    click(IDC_OPEN_COM);
    ASSERT_TRUE(enabled(IDC_SLOT_SWITCH));
    ASSERT_TRUE(enabled(IDC_SLOT_LIST));

    auto switches = [] {
        std::vector<long long> slots;
        for (const auto& c : recorder::callsTo("ChangeSlotToTarn"))
            slots.push_back(c.args.at(0));
        return slots;
    };
    click(IDC_SLOT_SWITCH); // ticked before any choice: slot 0
    EXPECT_EQ(switches(), (std::vector<long long>{0}));
    choose(IDC_SLOT_LIST, 2);
    choose(IDC_SLOT_LIST, 6);
    EXPECT_EQ(switches(), (std::vector<long long>{0, 3, 7}));
    click(IDC_SLOT_SWITCH); // unticked: no call
    choose(IDC_SLOT_LIST, 1);
    EXPECT_EQ(switches(), (std::vector<long long>{0, 3, 7}));
    EXPECT_EQ(terminalState.slotNumber, 2);
    click(IDC_SLOT_SWITCH); // ticked again: the last chosen slot
    EXPECT_EQ(switches(), (std::vector<long long>{0, 3, 7, 2}));

    // Closing COM1 unticks the box and switches routing off with it.
    click(IDC_CLOSE_COM);
    EXPECT_FALSE(checked(IDC_SLOT_SWITCH));
    EXPECT_FALSE(enabled(IDC_SLOT_SWITCH));
    EXPECT_FALSE(enabled(IDC_SLOT_LIST));
    EXPECT_EQ(terminalState.slotSwitchOn, 0);
    click(IDC_OPEN_COM);
    choose(IDC_SLOT_LIST, 4);
    EXPECT_EQ(switches().size(), 4u) << "an unticked box must not switch slots";
    EXPECT_EQ(terminalState.slotNumber, 5);
}

TEST_F(PortTest, ClosingLeavesOtherPortsSlotStateAlone) {
    click(IDC_OPEN_COM); // COM2
    click(IDC_CLOSE_COM);
    EXPECT_FALSE(enabled(IDC_SLOT_SWITCH));
    EXPECT_TRUE(recorder::callsTo("ChangeSlotToTarn").empty());
}

} // namespace
