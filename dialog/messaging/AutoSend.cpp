#include "messaging/AutoSend.h"

#include "framework/CDialog.h"
#include "ui/ControlIds.h"

namespace messaging {

void readInterval(CDialog& dlg) {
    dlg.UpdateData(true);
}

void startAutoSend(CDialog& dlg, std::uint32_t intervalMs) {
    dlg.SetTimer(AUTO_SEND_TIMER, intervalMs);
    dlg.EnableDlgItem(IDC_START, false);
    dlg.EnableDlgItem(IDC_STOP, true);
}

void stopAutoSend(CDialog& dlg) {
    dlg.KillTimer(AUTO_SEND_TIMER);
    dlg.EnableDlgItem(IDC_START, true);
    dlg.EnableDlgItem(IDC_STOP, false);
}

} // namespace messaging
