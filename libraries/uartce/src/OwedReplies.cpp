#include "OwedReplies.h"

#include "ReplyMatch.h"

#include <uartce.h>

#include <algorithm>
#include <utility>

namespace uartce {

namespace {

// Whether a reply owed by one command could pass for the reply to another: always, unless both
// are addressed and to different modules, and the reply names its module.
bool couldBeTakenFor(const OwedReplies::Owed& owed, const std::optional<std::string>& next) {
    return owed.mayLackAddress || !owed.address || !next || sameAddress(*owed.address, *next);
}

} // namespace

void OwedReplies::owe(Clock::time_point until, std::optional<std::string> address,
                      bool mayLackAddress) {
    if (m_owed.size() == kMostOwed)
        m_owed.pop_front();
    m_owed.push_back({until, std::move(address), mayLackAddress || !address});
}

void OwedReplies::forgetExpired(Clock::time_point now) {
    m_owed.erase(std::remove_if(m_owed.begin(), m_owed.end(),
                                [now](const Owed& o) { return o.until + kRemembered <= now; }),
                 m_owed.end());
}

std::optional<Clock::time_point> OwedReplies::listenUntil(const std::optional<std::string>& next,
                                                          Clock::time_point now) {
    forgetExpired(now);
    std::optional<Clock::time_point> until;
    for (const Owed& o : m_owed)
        if (o.until > now && couldBeTakenFor(o, next) && (!until || o.until > *until))
            until = o.until;
    return until;
}

bool OwedReplies::heard(std::string_view line) {
    // An LF or noise ahead of the reply is no part of it.
    while (!line.empty() &&
           (line.front() == '\n' || static_cast<unsigned char>(line.front()) == 0 ||
            static_cast<unsigned char>(line.front()) >= 0x80))
        line.remove_prefix(1);
    return heardFrom(replyAddress(line));
}

bool OwedReplies::heardFrom(const std::optional<std::string>& from) {
    // The oldest it could answer: its module's, or anyone's; a line without an address only
    // one that may lack it.
    const auto it = std::find_if(m_owed.begin(), m_owed.end(), [&](const Owed& o) {
        return from ? !o.address || sameAddress(*o.address, *from) : o.mayLackAddress;
    });
    if (it == m_owed.end())
        return false;
    m_owed.erase(it);
    return true;
}

std::vector<OwedReplies::Owed> OwedReplies::outstanding(Clock::time_point now) const {
    std::vector<Owed> left;
    for (const Owed& o : m_owed)
        if (o.until > now)
            left.push_back(o);
    return left;
}

} // namespace uartce

namespace uartce {

void LateReplies::opened(bool remote, Clock::time_point now,
                         std::vector<OwedReplies::Owed> recalled) {
    *this = LateReplies{};
    m_openDebt = remote;
    m_openedAt = now;
    for (OwedReplies::Owed& o : recalled)
        m_owed.owe(o.until, std::move(o.address), o.mayLackAddress);
}

std::optional<Clock::time_point> LateReplies::listenFor(const std::optional<std::string>& next,
                                                        std::chrono::milliseconds timeout,
                                                        Clock::time_point now) {
    if (std::exchange(m_openDebt, false))
        m_owed.owe(m_openedAt + timeout, std::nullopt, true);
    return m_owed.listenUntil(next, now);
}

bool LateReplies::heard(std::string_view line) {
    return m_owed.heard(line);
}

bool LateReplies::after(std::uint16_t status, const std::optional<std::string>& address,
                        bool namesModule, bool replyUnfinished, Clock::time_point writtenAt,
                        std::chrono::milliseconds timeout) {
    const Clock::time_point until = writtenAt + timeout + m_window;
    if (status == UARTCE_ERR_NO_REPLY || status == UARTCE_ERR_ECHO_UNKNOWN) {
        m_owed.owe(until, address, !namesModule);
        return true;
    }
    if (status == UARTCE_ERR_REPLY_CUT || status == UARTCE_ERR_GARBLED_ECHO ||
        (status == UARTCE_ERR_REPLY_TOO_LONG && replyUnfinished)) {
        m_owed.owe(until, std::nullopt, true);
        return true;
    }
    return false;
}

bool LateReplies::storeDue(Clock::time_point now, bool force) {
    if (!m_stored && m_owed.empty()) {
        m_dirty = false;
        return false;
    }
    if (!force && m_stored && now - m_storedAt < kStorePeriod) {
        m_dirty = true;
        return false;
    }
    return true;
}

void LateReplies::stored(bool kept, bool empty, Clock::time_point now) {
    m_stored = kept && !empty;
    m_storedAt = now;
    m_dirty = false;
}

} // namespace uartce
