#include "ReplyMatch.h"

#include "rules/Framing.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace uartce {

const char* dropReasonText(DropReason reason) {
    switch (reason) {
    case DropReason::Echo:
        return "echo";
    case DropReason::GarbledEcho:
        return "garbled echo";
    case DropReason::OtherAddress:
        return "other address";
    case DropReason::NotAReply:
        return "not a reply";
    case DropReason::Late:
        break;
    }
    return "late";
}

ReplyMatcher::ReplyMatcher(std::string_view frame, std::optional<std::string> address,
                           std::size_t maxReply, int terminator)
    : m_frame(frame), m_address(std::move(address)), m_maxReply(maxReply), m_terminator(terminator),
      // A lone CR comes back the same as an empty reply: only a command with text has an echo
      // that can be told apart.
      m_echoPossible(frame.size() > 1) {}

// For an addressed command, whose replies begin with !, ? or >: a first line that does not,
// has the command's length and differs from it in a byte or so (a quarter of them at most) is
// its echo, garbled, whichever byte a collision hit, the first included. (For other commands
// nothing says what a reply looks like: "PONG" may well answer "PING".)
bool ReplyMatcher::looksLikeGarbledEcho() const {
    const std::string_view line = std::string_view(m_frame).substr(0, m_frame.size() - 1);
    if (!m_address || m_frame.size() < 2 || m_reply.size() != line.size() || m_overflow)
        return false;
    if (std::string_view("!?>").find(m_reply[0]) != std::string_view::npos)
        return false;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < line.size(); ++i)
        differing += m_reply[i] != line[i];
    return differing > 0 && differing <= std::max<std::size_t>(1, line.size() / 4);
}

std::size_t ReplyMatcher::feed(std::string_view bytes) {
    std::size_t taken = 0;
    while (taken < bytes.size() && m_state == State::Collecting) {
        byte(bytes[taken]);
        if (std::exchange(m_pushedBack, false))
            break;
        ++taken;
    }
    return taken;
}

std::vector<DroppedBytes> ReplyMatcher::takeDropped() {
    if (!m_skipped.empty())
        m_dropped.push_back({std::exchange(m_skipped, {}), DropReason::NotAReply});
    return std::exchange(m_dropped, {});
}

// At the start of a line (nothing of an echo or a reply under way): an LF is the end of the
// line before it (a CR LF ending whose LF came late), and for an addressed command a NUL or a
// byte above 0x7F is line noise, for no reply of this text protocol has either.
bool ReplyMatcher::skipAtLineStart(char c) {
    if (m_terminator != '\r' || m_echoAt != 0 || !m_raw.empty() ||
        (m_echoPossible && c == m_frame[0]))
        return false;
    const auto u = static_cast<unsigned char>(c);
    if (c != '\n' && !(m_address && (u == 0 || u >= 0x80)))
        return false;
    m_skipped.push_back(c);
    return true;
}

void ReplyMatcher::byte(char c) {
    if (skipAtLineStart(c))
        return;
    if (!m_skipped.empty())
        m_dropped.push_back({std::exchange(m_skipped, {}), DropReason::NotAReply});
    if (m_echoPossible) {
        if (c == m_frame[m_echoAt]) {
            if (++m_echoAt == m_frame.size()) {
                m_dropped.push_back({m_frame, DropReason::Echo});
                m_echoPossible = false;
                m_echoSeen = true;
                m_firstLine = false;
                m_echoAt = 0;
            }
            return;
        }
        m_echoPossible = false;
        const std::size_t matched = std::exchange(m_echoAt, 0);
        if (matched > 0 && m_address) {
            // It began as the command did and then went another way: no reply to an addressed
            // command begins so.
            m_dropped.push_back({m_frame.substr(0, matched) + c, DropReason::GarbledEcho});
            m_state = State::GarbledEcho;
            return;
        }
        // Otherwise what looked like the start of an echo was the start of the reply. Should it
        // end within those bytes, c is left for after the reply.
        for (std::size_t i = 0; i < matched && m_state == State::Collecting; ++i)
            byte(m_frame[i]);
        if (m_state != State::Collecting) {
            m_pushedBack = true;
            return;
        }
    }
    m_raw.push_back(c);
    if (static_cast<unsigned char>(c) != m_terminator) {
        m_begun = true;
        if (m_reply.size() < m_maxReply)
            m_reply.push_back(c);
        else
            m_overflow = true;
        return;
    }
    lineEnded();
}

// A line has ended at the terminator: the reply, or something to drop and go on past.
void ReplyMatcher::lineEnded() {
    if (m_firstLine && looksLikeGarbledEcho()) {
        m_dropped.push_back({std::exchange(m_raw, {}), DropReason::GarbledEcho});
        m_reply.clear();
        m_begun = false;
        m_garbledLineEnded = true;
        m_state = State::GarbledEcho;
        return;
    }
    m_firstLine = false;
    // An LF CR ending: the LF is no part of the reply.
    if (m_terminator == '\r' && !m_overflow && !m_reply.empty() && m_reply.back() == '\n')
        m_reply.pop_back();
    std::optional<DropReason> notThis;
    const std::optional<std::string> from = replyAddress(m_reply);
    if (m_address && from && !sameAddress(*from, *m_address)) {
        // Another module's answer (one that came late, most likely): not this command's.
        notThis = DropReason::OtherAddress;
    } else if (m_address && !hasReplyForm(m_reply, m_frame.empty() ? '\0' : m_frame[0])) {
        // No answer has this form: the echo again (two converters), the echo without its first
        // bytes (a receiver that turned on late), or whatever else the line made.
        const std::string_view line = std::string_view(m_frame).substr(0, m_frame.size() - 1);
        const bool echoPiece = !m_reply.empty() && !m_overflow && line.size() >= m_reply.size() &&
                               line.substr(line.size() - m_reply.size()) == m_reply;
        notThis = echoPiece ? DropReason::Echo : DropReason::NotAReply;
    }
    if (!notThis) {
        m_state = State::Done;
        return;
    }
    m_dropped.push_back({std::exchange(m_raw, {}), *notThis});
    ++m_linesSetAside;
    m_reply.clear();
    m_overflow = false;
    m_begun = false;
    // The echo, when it has not come yet, may still come behind it.
    if (!m_echoSeen && m_frame.size() > 1) {
        m_echoPossible = true;
        m_echoAt = 0;
        m_firstLine = true;
    }
}

} // namespace uartce
