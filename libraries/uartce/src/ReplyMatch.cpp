#include "ReplyMatch.h"

#include "Framing.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace uartce {

namespace {

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

} // namespace

const char* dropReasonText(DropReason reason) {
    switch (reason) {
    case DropReason::Echo:
        return "echo";
    case DropReason::GarbledEcho:
        return "garbled echo";
    case DropReason::OtherAddress:
        return "other address";
    case DropReason::Late:
        break;
    }
    return "late";
}

std::optional<std::string> commandAddress(std::string_view command) {
    if (command.size() < 3 ||
        std::string_view("$#%@~").find(command[0]) == std::string_view::npos ||
        !isHex(command[1]) || !isHex(command[2]))
        return std::nullopt;
    return std::string(command.substr(1, 2));
}

std::optional<std::string> replyAddress(std::string_view reply) {
    if (reply.size() < 3 || (reply[0] != '!' && reply[0] != '?') || !isHex(reply[1]) ||
        !isHex(reply[2]))
        return std::nullopt;
    return std::string(reply.substr(1, 2));
}

bool sameAddress(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
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

void ReplyMatcher::byte(char c) {
    if (m_echoPossible) {
        if (c == m_frame[m_echoAt]) {
            if (++m_echoAt == m_frame.size()) {
                m_dropped.push_back({m_frame, DropReason::Echo});
                m_echoPossible = false;
                m_echoSeen = true;
                m_firstLine = false;
            }
            return;
        }
        m_echoPossible = false;
        if (m_echoAt > 0 && m_address) {
            // It began as the command did and then went another way: no reply to an addressed
            // command begins so.
            m_dropped.push_back({m_frame.substr(0, m_echoAt) + c, DropReason::GarbledEcho});
            m_state = State::GarbledEcho;
            return;
        }
        // Otherwise what looked like the start of an echo was the start of the reply. Should it
        // end within those bytes, c is left for after the reply.
        for (std::size_t i = 0; i < m_echoAt && m_state == State::Collecting; ++i)
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
    if (m_firstLine && looksLikeGarbledEcho()) {
        m_dropped.push_back({std::exchange(m_raw, {}), DropReason::GarbledEcho});
        m_reply.clear();
        m_begun = false;
        m_garbledLineEnded = true;
        m_state = State::GarbledEcho;
        return;
    }
    m_firstLine = false;
    const std::optional<std::string> from = replyAddress(m_reply);
    if (m_address && from && !sameAddress(*from, *m_address)) {
        // Another module's answer (one that came late, most likely): not this command's. The
        // echo, when it has not come yet, may still come behind it.
        m_dropped.push_back({std::exchange(m_raw, {}), DropReason::OtherAddress});
        m_reply.clear();
        m_overflow = false;
        m_begun = false;
        if (!m_echoSeen && m_frame.size() > 1) {
            m_echoPossible = true;
            m_echoAt = 0;
            m_firstLine = true;
        }
        return;
    }
    m_state = State::Done;
}

} // namespace uartce
