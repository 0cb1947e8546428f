#include "slots/SlotRouting.h"

#include "framework/CDialog.h"
#include "ui/ControlIds.h"

#include <korvexsdk.h>

namespace slotrouting {

void takeSlotSwitch(CDialog& dlg, TerminalState& state) {
    state.slotSwitchOn = dlg.IsDlgButtonChecked(IDC_SLOT_SWITCH) ? 1 : 0;
    if (state.slotSwitchOn == 1)
        ChangeSlotToTarn(state.slotNumber);
}

void takeSlot(CDialog& dlg, TerminalState& state) {
    const int index = dlg.GetCurSel(IDC_SLOT_LIST);
    if (index >= 0 && index < kSlotCount)
        state.slotNumber = static_cast<std::int8_t>(index + 1);
    if (state.slotSwitchOn == 1)
        ChangeSlotToTarn(state.slotNumber);
}

} // namespace slotrouting
