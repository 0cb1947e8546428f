#include "Deadline.h"

#include <limits>

namespace uartce {

int Deadline::remainingMs(Clock::time_point now) const {
    if (now >= m_at)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_at - now).count();
    return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                  : static_cast<int>(left);
}

} // namespace uartce
