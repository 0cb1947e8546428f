#pragma once
// Which operation a control's event leads to, kept as one table so that the wiring can be read
// (and tested) in one place. The framework raises these for operator input and timer ticks only.

#include <span>

enum class RoutedEvent { Clicked, SelectionChanged, FocusGained, FocusLost, TimerTick };

enum class Operation {
    OpenPort,
    ClosePort,
    TakeChecksum,
    TakePort,
    TakeBaudRate,
    TakeDataBits,
    TakeParity,
    TakeStopBits,
    Send,
    TimerDispatch,
    ClearReply,
    SelectNone,
    SelectCr,
    SelectLf,
    SelectLfCr,
    SelectCrLf,
    TakeSlotSwitch,
    TakeSlot,
    ReadInterval,
    StartAutoSend,
    StopAutoSend,
    SelectDef,
    ShowKeyboard,
    HideKeyboard,
};

// The window itself, for events that belong to no control (timer ticks).
inline constexpr int kWindowItself = 0;

struct Route {
    RoutedEvent event;
    int controlId;
    Operation operation;
};

std::span<const Route> eventRoutes();

// The route for an event of a control, or nullptr when the event takes the default handling.
const Route* findRoute(RoutedEvent event, int controlId);
