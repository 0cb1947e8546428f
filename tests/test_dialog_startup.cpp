// The dialog as it starts, its layout, closing, radio groups, the on-screen keyboard, and the
// rule that only the operator's actions run handlers.

#include "DialogHarness.h"
#include "framework/CWinApp.h"
#include "support/PlatformRecorder.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QLabel>
#include <QRadioButton>
#include <QStyle>
#include <QWindow>
#include <numeric>

using testsupport::DialogTest;

namespace {

class StartupTest : public DialogTest {
  protected:
    void SetUp() override {
        recorder::reset();
        DialogTest::SetUp();
    }
};

TEST_F(StartupTest, ShowsTheDefaultsInTheLiveControls) {
    EXPECT_EQ(dlg->windowTitle(), "Portula v7.0");
    struct Expect {
        int id;
        int index;
        const char* text;
    };
    for (const Expect& e : {Expect{IDC_PORT_LIST, 1, "COM2"}, Expect{IDC_BAUD_LIST, 3, "9600"},
                            Expect{IDC_DATABITS_LIST, 3, "8"}, Expect{IDC_PARITY_LIST, 0, "None"},
                            Expect{IDC_STOPBITS_LIST, 0, "1"}, Expect{IDC_SLOT_LIST, 0, "1"}}) {
        EXPECT_EQ(dlg->GetCurSel(e.id), e.index) << e.id;
        EXPECT_EQ(text(e.id), e.text) << e.id;
    }
    EXPECT_EQ(text(IDC_SEND_TEXT), "$01M");
    EXPECT_EQ(text(IDC_HEX_SUFFIX), "1A");
    EXPECT_EQ(text(IDC_INTERVAL), "500");
    EXPECT_EQ(shown(IDC_RECEIVE_TEXT), "");
    EXPECT_EQ(dlg->interval, 500u);
    EXPECT_EQ(terminalState.sendMode, SEND_CR);
    EXPECT_EQ(terminalState.stopBits, 0) << "stop-bit code stays 0 until the operator picks";
    EXPECT_EQ(terminalState.slotNumber, 0) << "slot stays 0 until the operator picks";

    for (int id : {IDC_MODE_NONE, IDC_MODE_LF, IDC_MODE_LF_CR, IDC_MODE_CR_LF, IDC_MODE_DEF,
                   IDC_CHECKSUM, IDC_SLOT_SWITCH})
        EXPECT_FALSE(checked(id)) << id;
    EXPECT_TRUE(checked(IDC_MODE_CR));

    const std::vector<int> usable{
        IDC_OPEN_COM,      IDC_PORT_LIST,  IDC_BAUD_LIST, IDC_DATABITS_LIST, IDC_PARITY_LIST,
        IDC_STOPBITS_LIST, IDC_CHECKSUM,   IDC_MODE_NONE, IDC_MODE_CR,       IDC_MODE_LF,
        IDC_MODE_LF_CR,    IDC_MODE_CR_LF, IDC_MODE_DEF,  IDC_SEND_TEXT,     IDC_RECEIVE_TEXT,
        IDC_INTERVAL,      IDC_HEX_SUFFIX, IDC_SET,       IDC_CLEAR};
    for (const fw::ControlTemplate& ct : dlg->Template().controls) {
        if (ct.id == fw::kNoId)
            continue;
        const bool expectUsable = std::find(usable.begin(), usable.end(), ct.id) != usable.end();
        EXPECT_EQ(enabled(ct.id) && dlg->IsDlgItemVisible(ct.id), expectUsable) << ct.id;
    }
    EXPECT_FALSE(dlg->IsDlgItemVisible(IDC_DATASIZE_IN_COM));
    EXPECT_FALSE(dlg->IsTimerRunning(RECEIVE_POLL_TIMER));
    EXPECT_FALSE(dlg->IsTimerRunning(AUTO_SEND_TIMER));
    // Start-up asks the library to name each listed port's device, for the tooltips, and
    // touches no port.
    std::vector<long long> named;
    for (const recorder::Call& c : recorder::calls()) {
        EXPECT_EQ(c.function, "UARTCE_PortDevice") << "start-up talks to no port";
        if (c.function == "UARTCE_PortDevice")
            named.push_back(c.args.at(0));
    }
    std::vector<long long> everyPort(20);
    std::iota(everyPort.begin(), everyPort.end(), 1);
    EXPECT_EQ(named, everyPort);
}

TEST_F(StartupTest, BindsTheControlObjectsByIdentifier) {
    const std::pair<const CWndControl*, int> bound[] = {
        {&dlg->m_def, IDC_MODE_DEF},
        {&dlg->m_hexSuffix, IDC_HEX_SUFFIX},
        {&dlg->m_sendMessage, IDC_SEND_MESSAGE},
        {&dlg->m_slotList, IDC_SLOT_LIST},
        {&dlg->m_receiveText, IDC_RECEIVE_TEXT},
        {&dlg->m_portList, IDC_PORT_LIST},
        {&dlg->m_dataSizeInCom, IDC_DATASIZE_IN_COM}};
    for (const auto& [control, id] : bound)
        EXPECT_EQ(control->GetSafeHwnd(), dlg->GetDlgItem(id)) << id;
}

TEST_F(StartupTest, PlacesEveryControlWhereTheTemplateDoes) {
    // Positions scale by one factor per axis (the dialog's own), so the template's proportions
    // hold; each value may be off by its rounding.
    const double sx = dlg->width() / 344.0;
    const double sy = dlg->height() / 262.0;
    EXPECT_GT(sx, 1.0);
    EXPECT_GT(sy, 1.0);
    const auto children = dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    std::size_t checkedControls = 0;
    for (const fw::ControlTemplate& ct : dlg->Template().controls) {
        const QWidget* w = nullptr;
        // A check box or radio button may grow about its centre to fit its indicator.
        const bool grows =
            ct.kind == fw::ControlKind::CheckBox || ct.kind == fw::ControlKind::RadioButton;
        for (QWidget* c : children) {
            const double y = grows ? c->y() + c->height() / 2.0 : c->y();
            const double expectedY = grows ? (ct.y + ct.height / 2.0) * sy : ct.y * sy;
            if (c->property("dlgCtrlId").toInt() == ct.id && std::abs(c->x() - ct.x * sx) <= 1.5 &&
                std::abs(y - expectedY) <= 1.5 && std::abs(c->width() - ct.width * sx) <= 1.5)
                w = c;
        }
        EXPECT_NE(w, nullptr) << ct.caption << " at " << ct.x << "," << ct.y;
        checkedControls += w != nullptr;
    }
    EXPECT_EQ(checkedControls, 41u);
}

// The caption is the template's alone: a window system that appends the application's display
// name would show more, so the program sets none.
TEST_F(StartupTest, TheCaptionIsTheTemplatesAlone) {
    fw::applyApplicationIdentity();
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QGuiApplication::applicationName());
    EXPECT_EQ(QGuiApplication::applicationName(), "Portula");
    ASSERT_NE(dlg->windowHandle(), nullptr);
    EXPECT_EQ(dlg->windowHandle()->title(), "Portula v7.0");
}

// Screen readers see radio buttons as radio buttons, every check box and radio button is tall
// enough for its indicator, and the captionless slot box says what it does.
TEST_F(StartupTest, ChoicesAreWholeAndNamedForAssistiveTools) {
    for (const fw::ControlTemplate& ct : dlg->Template().controls) {
        if (ct.kind != fw::ControlKind::RadioButton && ct.kind != fw::ControlKind::CheckBox)
            continue;
        QWidget* w = dlg->GetDlgItem(ct.id);
        ASSERT_NE(w, nullptr);
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        ASSERT_NE(a, nullptr);
        const auto role = ct.kind == fw::ControlKind::RadioButton ? QAccessible::RadioButton
                                                                  : QAccessible::CheckBox;
        EXPECT_EQ(a->role(), role) << ct.caption;
        const auto metric = ct.kind == fw::ControlKind::RadioButton
                                ? QStyle::PM_ExclusiveIndicatorHeight
                                : QStyle::PM_IndicatorHeight;
        EXPECT_GE(w->height(), w->style()->pixelMetric(metric, nullptr, w)) << ct.caption;
    }
    QAccessibleInterface* slotBox =
        QAccessible::queryAccessibleInterface(dlg->GetDlgItem(IDC_SLOT_SWITCH));
    EXPECT_TRUE(slotBox->text(QAccessible::Name).contains("slot"))
        << slotBox->text(QAccessible::Name).toStdString();
    EXPECT_FALSE(slotBox->text(QAccessible::Name).contains("Check2"));
}

TEST_F(StartupTest, FocusStartsOnTheFirstTabStopWithoutKeyboard) {
    activate();
    EXPECT_EQ(QApplication::focusWidget(), dlg->GetDlgItem(IDC_CHECKSUM));
    EXPECT_TRUE(panel.events.empty());
}

TEST_F(StartupTest, DefRadioIsExclusiveOnlyThroughItsHandler) {
    click(IDC_MODE_DEF);
    EXPECT_TRUE(checked(IDC_MODE_DEF));
    for (int id : {IDC_MODE_NONE, IDC_MODE_CR, IDC_MODE_LF, IDC_MODE_LF_CR, IDC_MODE_CR_LF})
        EXPECT_FALSE(checked(id)) << id;
    EXPECT_EQ(terminalState.sendMode, SEND_DEF);

    click(IDC_MODE_LF);
    EXPECT_TRUE(checked(IDC_MODE_LF));
    EXPECT_FALSE(checked(IDC_MODE_DEF));
    EXPECT_EQ(terminalState.sendMode, SEND_LF);

    click(IDC_MODE_DEF);
    click(IDC_MODE_DEF); // a second click keeps it ticked
    EXPECT_TRUE(checked(IDC_MODE_DEF));
    EXPECT_FALSE(checked(IDC_MODE_LF));

    // The system alone does not untick DEF: with the handler's work undone, two stay ticked.
    dlg->CheckDlgButton(IDC_MODE_DEF, true);
    dlg->CheckDlgButton(IDC_MODE_CR, true);
    EXPECT_TRUE(checked(IDC_MODE_DEF));
    EXPECT_TRUE(checked(IDC_MODE_CR));
}

TEST_F(StartupTest, RadioModesFollowTheClickedButton) {
    const std::pair<int, SendMode> modes[] = {
        {IDC_MODE_NONE, SEND_NONE},   {IDC_MODE_LF, SEND_LF},   {IDC_MODE_LF_CR, SEND_LF_CR},
        {IDC_MODE_CR_LF, SEND_CR_LF}, {IDC_MODE_DEF, SEND_DEF}, {IDC_MODE_CR, SEND_CR}};
    for (const auto& [id, mode] : modes) {
        click(id);
        EXPECT_EQ(terminalState.sendMode, mode) << id;
        int ticked = 0;
        for (const auto& [other, unused] : modes)
            ticked += checked(other);
        EXPECT_EQ(ticked, 1) << "after clicking " << id;
    }
}

TEST_F(StartupTest, KeyboardFollowsTheEditFieldsFocus) {
    activate();
    focusField(IDC_SEND_TEXT);
    EXPECT_EQ(panel.events, (std::vector<std::string>{"show"}));
    focusField(IDC_HEX_SUFFIX); // straight from one field to another
    EXPECT_EQ(panel.events, (std::vector<std::string>{"show", "hide", "show"}));
    focusField(IDC_INTERVAL);
    focusField(IDC_RECEIVE_TEXT);
    EXPECT_EQ(panel.events.size(), 7u);
    QTest::mouseClick(dlg->GetDlgItem(IDC_CLEAR), Qt::LeftButton); // to a push button
    EXPECT_EQ(panel.events.size(), 8u);
    EXPECT_EQ(panel.events.back(), "hide");
}

TEST_F(StartupTest, EnterInTheSendFieldEndsTheDialogAfterTheIntervalCheck) {
    activate();
    focusField(IDC_SEND_TEXT);
    QTest::keyClick(dlg->GetDlgItem(IDC_SEND_TEXT), Qt::Key_Return);
    EXPECT_TRUE(dlg->IsEnded());
    EXPECT_EQ(dlg->EndResult(), IDOK);
    EXPECT_EQ(text(IDC_SEND_TEXT), "$01M") << "Enter must not start a new line";
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(StartupTest, OkRefusesAnIntervalOutOfRangeAndCancelStillEnds) {
    struct Case {
        const char* text;
        bool accepted;
    };
    for (const Case& c : {Case{"100001", false}, Case{"12ab", false}, Case{"-1", false},
                          Case{"", false}, Case{"4294967296", false}}) {
        setText(IDC_INTERVAL, c.text);
        QTest::keyClick(dlg->GetDlgItem(IDC_INTERVAL), Qt::Key_Return);
        EXPECT_FALSE(dlg->IsEnded()) << c.text;
        EXPECT_EQ(dlg->interval, 500u) << "a refused value must not stand: " << c.text;
    }
    EXPECT_EQ(messages.size(), 5);
    EXPECT_TRUE(messages.contains("Please enter an integer between 0 and 100000."));
    EXPECT_TRUE(messages.contains("Please enter an unsigned integer."));

    QTest::keyClick(dlg->GetDlgItem(IDC_INTERVAL), Qt::Key_Escape);
    EXPECT_TRUE(dlg->IsEnded());
    EXPECT_EQ(dlg->EndResult(), IDCANCEL);
    EXPECT_EQ(messages.size(), 5) << "cancel runs no data exchange";
}

TEST_F(StartupTest, CloseButtonEndsWithoutTheIntervalCheck) {
    setText(IDC_INTERVAL, "100001");
    dlg->close();
    EXPECT_TRUE(dlg->IsEnded());
    EXPECT_EQ(dlg->EndResult(), IDCANCEL);
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(StartupTest, OkAcceptsTheRangeLimits) {
    for (const char* value : {"0", "100000", " 250 "}) {
        auto local = std::make_unique<testsupport::TestDlg>();
        local->Create();
        local->SetDlgItemText(IDC_INTERVAL, value);
        QTest::keyClick(local->GetDlgItem(IDC_INTERVAL), Qt::Key_Enter);
        EXPECT_TRUE(local->IsEnded()) << value;
        EXPECT_EQ(local->interval, std::stoul(value)) << value;
    }
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(StartupTest, ProgrammaticChangesRunNoHandler) {
    recorder::reset(); // the tooltips' device names, asked for at start-up
    const TerminalState before = terminalState;
    dlg->SetCurSel(IDC_PORT_LIST, 0);     // COM1 would switch the baud rate
    dlg->SetCurSel(IDC_STOPBITS_LIST, 1); // would set stop bits 2
    dlg->SetCurSel(IDC_SLOT_LIST, 4);
    dlg->CheckDlgButton(IDC_CHECKSUM, true);
    dlg->CheckDlgButton(IDC_MODE_DEF, true);
    dlg->CheckDlgButton(IDC_SLOT_SWITCH, true);
    setText(IDC_SEND_TEXT, "changed");
    EXPECT_EQ(terminalState.port, before.port);
    EXPECT_EQ(terminalState.baudRate, before.baudRate);
    EXPECT_EQ(terminalState.stopBits, before.stopBits);
    EXPECT_EQ(terminalState.checksum, before.checksum);
    EXPECT_EQ(terminalState.sendMode, before.sendMode);
    EXPECT_EQ(terminalState.slotNumber, before.slotNumber);
    EXPECT_EQ(terminalState.slotSwitchOn, before.slotSwitchOn);
    EXPECT_EQ(dlg->GetCurSel(IDC_BAUD_LIST), 3);
    EXPECT_TRUE(checked(IDC_MODE_CR)) << "no handler unticked CR";
    EXPECT_TRUE(recorder::calls().empty());
}

} // namespace
