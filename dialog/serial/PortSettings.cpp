#include "serial/PortSettings.h"

#include "framework/CDialog.h"
#include "ui/ControlIds.h"

namespace serial {

namespace {
template <typename Table> bool inTable(int index, const Table& table) {
    return index >= 0 && static_cast<std::size_t>(index) < table.size();
}
} // namespace

void takePort(CDialog& dlg, TerminalState& state) {
    const int index = dlg.GetCurSel(IDC_PORT_LIST);
    if (index < 0 || index >= kPortCount)
        return;
    state.port = static_cast<std::uint16_t>(index + 1);
    if (index == 0) {
        dlg.SetCurSel(IDC_BAUD_LIST, kFastBaudIndex);
        state.baudRate = kBaudRates[kFastBaudIndex];
    }
}

void takeBaudRate(CDialog& dlg, TerminalState& state) {
    const int index = dlg.GetCurSel(IDC_BAUD_LIST);
    if (inTable(index, kBaudRates))
        state.baudRate = kBaudRates[static_cast<std::size_t>(index)];
}

void takeDataBits(CDialog& dlg, TerminalState& state) {
    const int index = dlg.GetCurSel(IDC_DATABITS_LIST);
    if (inTable(index, kDataBits))
        state.dataBits = kDataBits[static_cast<std::size_t>(index)];
}

void takeParity(CDialog& dlg, TerminalState& state) {
    // The list index is the parity code itself.
    state.parity = static_cast<std::uint16_t>(dlg.GetCurSel(IDC_PARITY_LIST));
}

void takeStopBits(CDialog& dlg, TerminalState& state) {
    const int index = dlg.GetCurSel(IDC_STOPBITS_LIST);
    if (index == 0 || index == 1)
        state.stopBits = static_cast<std::uint16_t>(index + 1);
}

void takeChecksum(CDialog& dlg, TerminalState& state) {
    state.checksum = dlg.IsDlgButtonChecked(IDC_CHECKSUM) ? 1 : 0;
}

} // namespace serial
