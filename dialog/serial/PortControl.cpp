#include "serial/PortControl.h"

#include "framework/CDialog.h"
#include "serial/LibraryExtras.h"
#include "ui/ControlIds.h"

#include <QVariant>
#include <QWidget>
#include <uartce.h>

namespace serial {

namespace {
constexpr int kSettingsControls[] = {IDC_PORT_LIST,   IDC_BAUD_LIST,     IDC_DATABITS_LIST,
                                     IDC_PARITY_LIST, IDC_STOPBITS_LIST, IDC_CHECKSUM};

void enableSettings(CDialog& dlg, bool enable) {
    for (int id : kSettingsControls)
        dlg.EnableDlgItem(id, enable);
}

// The "Open_Com" button's own tooltip, kept while it shows the reason for a refusal.
constexpr char kOwnTip[] = "portulaOwnTip";

// A refused open stays silent in the dialog's state; its reason waits on the button for the
// operator who looks for it.
void showRefusal(CDialog& dlg, int port) {
    QWidget* button = dlg.GetDlgItem(IDC_OPEN_COM);
    const std::string reason = lastOpenRefusal(port);
    if (!button || reason.empty())
        return;
    if (!button->property(kOwnTip).isValid())
        button->setProperty(kOwnTip, button->toolTip());
    button->setToolTip(QString::fromLocal8Bit(reason.c_str()));
}

void clearRefusal(CDialog& dlg) {
    QWidget* button = dlg.GetDlgItem(IDC_OPEN_COM);
    if (!button || !button->property(kOwnTip).isValid())
        return;
    button->setToolTip(button->property(kOwnTip).toString());
    button->setProperty(kOwnTip, QVariant());
}
} // namespace

void openPort(CDialog& dlg, TerminalState& state) {
    const std::uint16_t rc =
        Open_Com(static_cast<std::uint8_t>(state.port), state.baudRate,
                 static_cast<std::uint8_t>(state.dataBits), static_cast<std::uint8_t>(state.parity),
                 static_cast<std::int8_t>(state.stopBits));
    if (rc != 0) {
        showRefusal(dlg, state.port);
        return;
    }
    clearRefusal(dlg);
    dlg.EnableDlgItem(IDC_OPEN_COM, false);
    dlg.EnableDlgItem(IDC_CLOSE_COM, true);
    enableSettings(dlg, false);
    if (state.port == 1) {
        dlg.EnableDlgItem(IDC_SLOT_SWITCH, true);
        dlg.EnableDlgItem(IDC_SLOT_LIST, true);
    }
    dlg.EnableDlgItem(IDC_START, true);
    dlg.EnableDlgItem(IDC_SEND_MESSAGE, true);
    dlg.SetTimer(RECEIVE_POLL_TIMER, kReceivePollPeriodMs);
}

void closePort(CDialog& dlg, TerminalState& state) {
    Close_Com(static_cast<std::uint8_t>(state.port));
    dlg.EnableDlgItem(IDC_OPEN_COM, true);
    dlg.EnableDlgItem(IDC_CLOSE_COM, false);
    enableSettings(dlg, true);
    if (state.port == 1) {
        dlg.CheckDlgButton(IDC_SLOT_SWITCH, false);
        // The box now shows unticked: routing must be off too, or a later slot choice would
        // switch slots behind an unticked box.
        state.slotSwitchOn = 0;
        dlg.EnableDlgItem(IDC_SLOT_SWITCH, false);
        dlg.EnableDlgItem(IDC_SLOT_LIST, false);
    }
    dlg.EnableDlgItem(IDC_START, false);
    dlg.EnableDlgItem(IDC_STOP, false);
    dlg.EnableDlgItem(IDC_SEND_MESSAGE, false);
    dlg.KillTimer(RECEIVE_POLL_TIMER);
    dlg.KillTimer(AUTO_SEND_TIMER);
}

void showPortDevices(CDialog& dlg) {
    for (int index = 0; index < dlg.GetCount(IDC_PORT_LIST); ++index) {
        const std::string tip = portDescription(index + 1);
        dlg.SetListItemTip(IDC_PORT_LIST, index, QString::fromLocal8Bit(tip.c_str()));
    }
}

void showClosedState(CDialog& dlg) {
    dlg.EnableDlgItem(IDC_CLOSE_COM, false);
    dlg.ShowDlgItem(IDC_DATASIZE_IN_COM, false);
    for (int id : {IDC_SLOT_SWITCH, IDC_SLOT_LIST, IDC_START, IDC_STOP, IDC_SEND_MESSAGE})
        dlg.EnableDlgItem(id, false);
}

} // namespace serial
