#include "Deadline.h"

#include <limits>

namespace uartce {

volatile std::sig_atomic_t g_waitAbandoned = 0;

int Deadline::remainingMs(Clock::time_point now) const {
    if (g_waitAbandoned || now >= m_at)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_at - now).count();
    return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                  : static_cast<int>(left);
}

} // namespace uartce
