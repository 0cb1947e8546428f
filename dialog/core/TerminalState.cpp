#include "core/TerminalState.h"

#include <type_traits>

static_assert(std::is_aggregate_v<TerminalState>);
static_assert(std::is_standard_layout_v<TerminalState>);

constinit TerminalState terminalState{};
