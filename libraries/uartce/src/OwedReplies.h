#pragma once
// Replies still owed on a line: commands that got no reply, or only part of it, whose answer may
// yet come. Pure: the time is passed in.
//
// Each failed command owes one reply until its window ends: from its module, by its address
// (!AA, ?AA), or, for a reading, also a > line without one; or from anyone (an unaddressed
// command, the rest of a cut reply). Before a command goes out, the replies it could be taken
// for are listened for: each whole line that comes settles the oldest owed reply it could
// answer, and the listen lasts while any of those is still owed. Modules answer in turn, so a
// line settles the oldest first, even one whose window has passed: a reply later than its window
// does not settle a younger command's. Two failures in a row are two lines to wait for, and a
// line from another module does not end the wait for this one's.

#include "Deadline.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace uartce {

class OwedReplies {
  public:
    struct Owed {
        Clock::time_point until;
        std::optional<std::string> address; // the module's; none: anyone's
        bool mayLackAddress = false;        // a > line, which names no module, may answer it
        bool operator==(const Owed&) const = default;
    };
    // How long an owed reply whose window has passed is still remembered, for the order in
    // which lines settle them.
    static constexpr std::chrono::seconds kRemembered{10};

    // More than any line has outstanding at once; past it the oldest is forgotten.
    static constexpr std::size_t kMostOwed = 256;

    void owe(Clock::time_point until, std::optional<std::string> address, bool mayLackAddress);
    // Until when a command to `next` (none: unaddressed) must listen before it goes out: the
    // latest end among the owed replies it could be taken for; none when there are none.
    // Forgets what has expired by now.
    std::optional<Clock::time_point> listenUntil(const std::optional<std::string>& next,
                                                 Clock::time_point now);
    // A whole line came while listening: it settles the oldest owed reply it could be (by the
    // address it carries, if any). False when it settles none.
    bool heard(std::string_view line);
    // What is owed now, oldest first, for keeping beyond the port.
    std::vector<Owed> outstanding(Clock::time_point now) const;
    bool empty() const { return m_owed.empty(); }
    void clear() { m_owed.clear(); }

  private:
    void forgetExpired(Clock::time_point now);

    std::deque<Owed> m_owed; // oldest first
};

} // namespace uartce
