#include "serial/PortControl.h"

#include "framework/CDialog.h"
#include "ui/ControlIds.h"

#include <uartce.h>

namespace serial {

namespace {
constexpr int kSettingsControls[] = {IDC_PORT_LIST,   IDC_BAUD_LIST,     IDC_DATABITS_LIST,
                                     IDC_PARITY_LIST, IDC_STOPBITS_LIST, IDC_CHECKSUM};

void enableSettings(CDialog& dlg, bool enable) {
    for (int id : kSettingsControls)
        dlg.EnableDlgItem(id, enable);
}
} // namespace

void openPort(CDialog& dlg, TerminalState& state) {
    const std::uint16_t rc =
        Open_Com(static_cast<std::uint8_t>(state.port), state.baudRate,
                 static_cast<std::uint8_t>(state.dataBits), static_cast<std::uint8_t>(state.parity),
                 static_cast<std::int8_t>(state.stopBits));
    if (rc != 0)
        return;
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
        char device[256];
        UARTCE_PortDevice(static_cast<std::uint8_t>(index + 1), device, sizeof device);
        dlg.SetListItemTip(IDC_PORT_LIST, index, QString::fromLocal8Bit(device));
    }
}

void showClosedState(CDialog& dlg) {
    dlg.EnableDlgItem(IDC_CLOSE_COM, false);
    dlg.ShowDlgItem(IDC_DATASIZE_IN_COM, false);
    for (int id : {IDC_SLOT_SWITCH, IDC_SLOT_LIST, IDC_START, IDC_STOP, IDC_SEND_MESSAGE})
        dlg.EnableDlgItem(id, false);
}

} // namespace serial
