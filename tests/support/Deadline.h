#pragma once
// A test's bounded wait: the point in time it ends, and what is left of it as a poll time-out.
// The support code keeps its own, so that it links nothing of the library it tests.

#include <chrono>

namespace testsupport {

class Deadline {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(std::chrono::milliseconds within) : m_at(Clock::now() + within) {}

    // Milliseconds left, rounded up so that a poll never ends before the deadline; 0 once it
    // has passed.
    int remainingMs() const {
        const auto left = m_at - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

  private:
    Clock::time_point m_at;
};

} // namespace testsupport
