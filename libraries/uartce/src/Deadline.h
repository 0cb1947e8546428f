#pragma once
// Every wait of the library is bounded by a deadline computed here.

#include <chrono>
#include <csignal>
#include <cstdint>

namespace uartce {

using Clock = std::chrono::steady_clock;

// Set by UARTCE_Abandon, from a signal handler as a rule: every deadline has passed, so the
// wait under way, or the next one when none is under way, ends at once. Cleared when a call
// that waits ends.
extern volatile std::sig_atomic_t g_waitAbandoned;

class Deadline {
  public:
    static Deadline after(std::chrono::milliseconds span, Clock::time_point now = Clock::now()) {
        return Deadline(now + span);
    }
    static Deadline at(Clock::time_point when) { return Deadline(when); }
    // The earlier of the two.
    Deadline sooner(const Deadline& other) const { return m_at < other.m_at ? *this : other; }
    // Milliseconds left, rounded up so that a wait never returns before the deadline and never
    // spins on a zero wait while time remains; 0 once it has passed.
    int remainingMs(Clock::time_point now = Clock::now()) const;
    bool expired(Clock::time_point now = Clock::now()) const {
        return g_waitAbandoned || now >= m_at;
    }

  private:
    explicit Deadline(Clock::time_point at) : m_at(at) {}
    Clock::time_point m_at;
};

// A write gives up when the line takes no byte for this long.
inline constexpr std::chrono::milliseconds kWriteStallLimit{1000};

} // namespace uartce
