#include "ui/EventRoutes.h"

#include "ui/ControlIds.h"

#include <algorithm>
#include <array>

namespace {
using enum RoutedEvent;
using enum Operation;

constexpr std::array kRoutes{
    Route{Clicked, IDC_OPEN_COM, OpenPort},
    Route{Clicked, IDC_CLOSE_COM, ClosePort},
    Route{Clicked, IDC_CHECKSUM, TakeChecksum},
    Route{SelectionChanged, IDC_PORT_LIST, TakePort},
    Route{SelectionChanged, IDC_BAUD_LIST, TakeBaudRate},
    Route{SelectionChanged, IDC_DATABITS_LIST, TakeDataBits},
    Route{SelectionChanged, IDC_PARITY_LIST, TakeParity},
    Route{SelectionChanged, IDC_STOPBITS_LIST, TakeStopBits},
    Route{Clicked, IDC_SEND_MESSAGE, Send},
    Route{TimerTick, kWindowItself, TimerDispatch},
    Route{Clicked, IDC_CLEAR, ClearReply},
    Route{Clicked, IDC_MODE_NONE, SelectNone},
    Route{Clicked, IDC_MODE_CR, SelectCr},
    Route{Clicked, IDC_MODE_LF, SelectLf},
    Route{Clicked, IDC_MODE_LF_CR, SelectLfCr},
    Route{Clicked, IDC_MODE_CR_LF, SelectCrLf},
    Route{Clicked, IDC_SLOT_SWITCH, TakeSlotSwitch},
    Route{SelectionChanged, IDC_SLOT_LIST, TakeSlot},
    Route{Clicked, IDC_SET, ReadInterval},
    Route{Clicked, IDC_START, StartAutoSend},
    Route{Clicked, IDC_STOP, StopAutoSend},
    Route{Clicked, IDC_MODE_DEF, SelectDef},
    Route{FocusGained, IDC_SEND_TEXT, ShowKeyboard},
    Route{FocusGained, IDC_RECEIVE_TEXT, ShowKeyboard},
    Route{FocusGained, IDC_INTERVAL, ShowKeyboard},
    Route{FocusGained, IDC_HEX_SUFFIX, ShowKeyboard},
    Route{FocusLost, IDC_SEND_TEXT, HideKeyboard},
    Route{FocusLost, IDC_RECEIVE_TEXT, HideKeyboard},
    Route{FocusLost, IDC_INTERVAL, HideKeyboard},
    Route{FocusLost, IDC_HEX_SUFFIX, HideKeyboard},
};
} // namespace

std::span<const Route> eventRoutes() {
    return kRoutes;
}

const Route* findRoute(RoutedEvent event, int controlId) {
    const auto it = std::find_if(kRoutes.begin(), kRoutes.end(), [&](const Route& r) {
        return r.event == event && r.controlId == controlId;
    });
    return it == kRoutes.end() ? nullptr : &*it;
}
