#include "messaging/SendModes.h"

#include "framework/CDialog.h"
#include "ui/ControlIds.h"

namespace messaging {

void selectSendMode(CDialog& dlg, TerminalState& state, SendMode mode) {
    state.sendMode = mode;
    if (mode == SEND_DEF) {
        for (int id : {IDC_MODE_NONE, IDC_MODE_CR, IDC_MODE_LF, IDC_MODE_LF_CR, IDC_MODE_CR_LF})
            dlg.CheckDlgButton(id, false);
    } else {
        dlg.CheckDlgButton(IDC_MODE_DEF, false);
    }
}

} // namespace messaging
