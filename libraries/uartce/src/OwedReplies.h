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
    // A whole reply came from the module that address names (none: a reply that names none):
    // it settles the oldest owed reply it could be. False when it settles none.
    bool heardFrom(const std::optional<std::string>& from);
    // What is owed now, oldest first, for keeping beyond the port.
    std::vector<Owed> outstanding(Clock::time_point now) const;
    bool empty() const { return m_owed.empty(); }
    void clear() { m_owed.clear(); }

  private:
    void forgetExpired(Clock::time_point now);

    std::deque<Owed> m_owed; // oldest first
};

} // namespace uartce

namespace uartce {

// What one port owes, and when it writes that down: the replies owed by its failed commands,
// what a remote line owed to whoever had it before this open, the port's late-reply window, and
// how often what is owed is kept beyond the port. Pure: the time is passed in; the caller reads
// the line and writes the file.
class LateReplies {
  public:
    // At most this often while failures come quickly (a scan of silent addresses); whatever is
    // owed then is written down when the port closes and when the program ends.
    static constexpr std::chrono::milliseconds kStorePeriod{200};
    static constexpr std::chrono::milliseconds kDefaultWindow{500};

    // A port opened at now: a remote line may still carry answers meant for the client before,
    // for one time-out of the first command; recalled: what the device owed when last closed.
    void opened(bool remote, Clock::time_point now, std::vector<OwedReplies::Owed> recalled);
    void setWindow(std::chrono::milliseconds window) { m_window = window; }

    // Whether a command may have to listen before it goes out: false while the remote line's
    // own debt has not been taken up by a first command.
    bool openDebtTaken() const { return !m_openDebt; }
    // Before a command to next (none: unaddressed) with that time-out: until when it listens
    // for replies it could be taken for; none when there is nothing to listen for.
    std::optional<Clock::time_point> listenFor(const std::optional<std::string>& next,
                                               std::chrono::milliseconds timeout,
                                               Clock::time_point now);
    // A whole line came while listening: whether it settled an owed reply, and then until when
    // the listen goes on (none: nothing left that it could be taken for).
    bool heard(std::string_view line);
    bool heardFrom(const std::optional<std::string>& from) { return m_owed.heardFrom(from); }
    std::optional<Clock::time_point> stillListen(const std::optional<std::string>& next,
                                                 Clock::time_point now) {
        return m_owed.listenUntil(next, now);
    }

    // After a command that went out at writtenAt and ended with status: whether its reply, or
    // the rest of it, is owed now. A command that got no reply owes it by its address (a
    // reading's > reply names no module: it may be anyone's); a reply cut off, too long before
    // its end came, or an echo garbled owes its rest to whatever command comes next.
    bool after(std::uint16_t status, const std::optional<std::string>& address, bool namesModule,
               bool replyUnfinished, Clock::time_point writtenAt,
               std::chrono::milliseconds timeout);

    // Whether what is owed should be written down now (force: the port closes, the program
    // ends); what to write is outstanding(now). stored() says how that went.
    bool storeDue(Clock::time_point now, bool force);
    void stored(bool kept, bool empty, Clock::time_point now);
    bool dirty() const { return m_dirty; }
    std::vector<OwedReplies::Owed> outstanding(Clock::time_point now) const {
        return m_owed.outstanding(now);
    }

  private:
    OwedReplies m_owed;
    bool m_openDebt = false; // a remote line's answers for the client before
    Clock::time_point m_openedAt{};
    std::chrono::milliseconds m_window = kDefaultWindow;
    bool m_stored = false; // written down for the next open of the device
    bool m_dirty = false;  // owes more than is written down
    Clock::time_point m_storedAt{};
};

} // namespace uartce
