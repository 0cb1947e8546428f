#include "ModbusMatch.h"

#include "rules/Framing.h"

#include <utility>

namespace uartce {

using portula::ModbusMode;

namespace {

// The longest ASCII frame: ':', 256 bytes as hex (LRC included) and CR LF.
constexpr std::size_t kAsciiMaxFrame = 1 + 2 * portula::kRtuMaxFrame + 2;

std::uint8_t at(std::string_view bytes, std::size_t i) {
    return static_cast<std::uint8_t>(bytes[i]);
}

} // namespace

std::string modbusOwedKey(std::uint8_t slave, std::uint8_t function) {
    return "M" + portula::hexPair(slave) + portula::hexPair(function & 0x7F);
}

std::optional<std::string> modbusFrameKey(ModbusMode mode, std::string_view frame) {
    const std::optional<std::string> payload = portula::modbusPayload(mode, frame);
    if (!payload || payload->size() < 2)
        return std::nullopt;
    return modbusOwedKey(at(*payload, 0), at(*payload, 1));
}

ModbusMatcher::ModbusMatcher(ModbusMode mode, std::string request,
                             std::optional<unsigned> echoCopies, std::size_t maxReply)
    : m_mode(mode), m_request(std::move(request)), m_echoCopies(echoCopies), m_maxReply(maxReply) {
    if (const std::optional<std::string> payload = portula::modbusPayload(mode, m_request);
        payload && payload->size() >= 2) {
        m_requestPayload = *payload;
        m_slave = at(*payload, 0);
        m_function = at(*payload, 1);
    }
}

ModbusMatcher::ModbusMatcher(ModbusMode mode) : m_mode(mode), m_listenOnly(true) {}

std::size_t ModbusMatcher::feed(std::string_view bytes) {
    std::size_t taken = 0;
    while (taken < bytes.size() && m_state == State::Collecting) {
        byte(bytes[taken++]);
        while (!m_carried.empty() && m_state == State::Collecting) {
            const char c = m_carried.front();
            m_carried.erase(0, 1);
            byte(c);
        }
    }
    // Bytes carried past the reply's end came after it.
    const std::size_t after = std::min(std::exchange(m_carried, {}).size(), taken);
    return taken - after;
}

void ModbusMatcher::byte(char c) {
    if (m_mode == ModbusMode::Rtu)
        rtuByte(c);
    else
        asciiByte(c);
}

bool ModbusMatcher::echoCandidate() const {
    return !m_listenOnly && !m_checkingGarble && std::string_view(m_request).starts_with(m_frame);
}

void ModbusMatcher::rtuByte(char c) {
    m_frame.push_back(c);
    if (!echoCandidate())
        m_replyBegun = !m_listenOnly;
    if (m_checkingGarble) {
        if (m_frame.size() >= m_request.size())
            endFrame(false);
        return;
    }
    if (rtuFrameEnds())
        endFrame(false);
}

bool ModbusMatcher::tailCandidate() const {
    if (m_listenOnly || m_checkingGarble || !m_first || m_frame.empty() ||
        m_frame.size() >= m_request.size() || beginsAsReply(m_frame))
        return false;
    const std::string_view request(m_request);
    for (std::size_t k = 1; k + m_frame.size() <= request.size(); ++k)
        if (request.substr(k).starts_with(m_frame))
            return true;
    return false;
}

bool ModbusMatcher::beginsAsReply(std::string_view frame) const {
    return !frame.empty() && at(frame, 0) == m_slave &&
           (frame.size() < 2 || (at(frame, 1) & 0x7F) == m_function);
}

bool ModbusMatcher::rtuFrameEnds() const {
    if (echoCandidate())
        return m_frame.size() == m_request.size();
    // The echo's end, its start missing: it ends where the request does, whatever length its
    // first bytes would give a frame.
    if (tailCandidate())
        return std::string_view(m_request).ends_with(m_frame);
    if (m_frame.size() >= portula::kRtuMaxFrame)
        return true;
    const std::optional<std::size_t> length = portula::rtuReplyLength(m_frame);
    return length && m_frame.size() >= *length;
}

void ModbusMatcher::asciiByte(char c) {
    if (c == ':') {
        // A colon starts a frame, whatever came before it.
        if (!m_frame.empty())
            drop(std::exchange(m_frame, {}), DropReason::NotAReply);
        if (!m_noise.empty()) {
            m_doubtful = true; // a copy of the request may have come damaged
            drop(std::exchange(m_noise, {}), DropReason::NotAReply);
        }
    } else if (m_frame.empty()) {
        m_noise.push_back(c); // a line end after the last frame, or noise
        return;
    }
    m_frame.push_back(c);
    if (!echoCandidate())
        m_replyBegun = !m_listenOnly;
    if (m_frame.size() >= 2 && m_frame.ends_with("\r\n"))
        endFrame(false);
    else if (m_frame.size() > kAsciiMaxFrame)
        endFrame(false);
}

bool ModbusMatcher::silenceEndsFrame() const {
    if (m_frame.empty() || tailCandidate())
        return false;
    if (m_listenOnly || m_checkingGarble || at(m_frame, 0) != m_slave)
        return true;
    if (m_frame.size() < 2)
        return false;
    if ((at(m_frame, 1) & 0x7F) != m_function)
        return true;
    const auto function = at(m_frame, 1);
    const bool countToCome = m_frame.size() < 3 && function >= 1 && function <= 4;
    return !countToCome && !portula::rtuReplyLength(m_frame);
}

void ModbusMatcher::silence() {
    if (!m_frame.empty())
        endFrame(true);
}

void ModbusMatcher::endFrame(bool bySilence) {
    std::string frame = std::exchange(m_frame, {});
    if (m_listenOnly) {
        m_frames.push_back(std::move(frame));
        return;
    }
    if (m_checkingGarble) {
        m_checkingGarble = false;
        if (garbledEcho(frame)) {
            m_state = State::GarbledEcho;
            drop(std::move(frame), DropReason::GarbledEcho);
            return;
        }
        // Not the echo: the frame that failed its check is what came.
        m_carried = frame.substr(m_failed.size());
        m_state = State::BadCheck;
        m_reply = std::exchange(m_failed, {});
        return;
    }
    // A reply whose byte count says it is shorter than what came ahead of it in an echo's
    // place: the frame is as long as its count says, and what follows is the next one's.
    if (m_mode == ModbusMode::Rtu && !bySilence && !(m_first && echoTail(frame))) {
        const std::optional<std::size_t> length = portula::rtuReplyLength(frame);
        if (length && *length < frame.size() && frame != m_request) {
            m_carried = frame.substr(*length) + m_carried;
            frame.resize(*length);
        }
    }
    const bool first = std::exchange(m_first, false);
    judge(std::move(frame), first, bySilence);
}

bool ModbusMatcher::echoTail(std::string_view frame) const {
    if (frame.empty() || frame.size() >= m_request.size() ||
        !std::string_view(m_request).ends_with(frame))
        return false;
    // What begins as the reply is not taken for the echo's end.
    return !beginsAsReply(frame);
}

bool ModbusMatcher::garbledEcho(std::string_view frame) const {
    if (frame.size() != m_request.size())
        return false;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < frame.size(); ++i)
        differing += frame[i] != m_request[i];
    return differing > 0 && differing <= 2;
}

void ModbusMatcher::judge(std::string frame, bool first, bool bySilence) {
    const bool repeat = frame == m_request;
    if (repeat) {
        ++m_repeats;
        // Every copy when the reply cannot repeat the request; where it may, the line's own
        // copies come first.
        if (!portula::replyMayRepeatRequest(m_function) ||
            (m_echoCopies && m_repeats <= *m_echoCopies)) {
            drop(std::move(frame), DropReason::Echo);
            return;
        }
        if (!m_echoCopies) {
            // The echo or the reply; of several copies all but the last are echoes.
            if (!m_held.empty())
                drop(std::exchange(m_held, {}), DropReason::Echo);
            m_held = std::move(frame);
            m_replyBegun = false;
            return;
        }
        // The copy after the line's own: the reply.
    }
    const std::optional<std::string> payload = portula::modbusPayload(m_mode, frame);
    if (!payload) {
        if (m_mode == ModbusMode::Ascii && frame.size() > kAsciiMaxFrame) {
            m_state = State::TooLong;
            m_reply = std::move(frame);
            return;
        }
        if (first && echoTail(frame)) {
            m_doubtful = true;
            drop(std::move(frame), DropReason::Echo);
            return;
        }
        if (first && mayEcho() && garbledEcho(frame)) {
            m_state = State::GarbledEcho;
            drop(std::move(frame), DropReason::GarbledEcho);
            return;
        }
        // Ended by a length its garbled bytes gave: read on to the echo's length first.
        if (first && mayEcho() && !bySilence && frame.size() < m_request.size() &&
            m_mode == ModbusMode::Rtu) {
            m_checkingGarble = true;
            m_failed = frame;
            m_frame = std::move(frame);
            m_first = true;
            if (m_frame.size() + m_carried.size() >= m_request.size()) {
                // The rest is already here.
                const std::size_t need = m_request.size() - m_frame.size();
                m_frame += m_carried.substr(0, need);
                m_carried.erase(0, need);
                endFrame(false);
            }
            return;
        }
        m_state = State::BadCheck;
        m_reply = std::move(frame);
        return;
    }
    if (payload->size() < 2 || at(*payload, 0) != m_slave) {
        drop(std::move(frame), DropReason::OtherAddress);
        return;
    }
    if ((at(*payload, 1) & 0x7F) != m_function) {
        drop(std::move(frame), DropReason::NotAReply);
        return;
    }
    m_exception = (at(*payload, 1) & 0x80) != 0;
    if (m_exception && payload->size() != 3) {
        m_state = State::BadCheck; // an exception carries its code and nothing else
        m_reply = std::move(frame);
        return;
    }
    if (!portula::replyFitsRequest(m_requestPayload, *payload)) {
        drop(std::move(frame), DropReason::Late); // another request's reply
        return;
    }
    // A copy held was the echo: the slave has answered otherwise.
    if (!repeat && !m_held.empty())
        drop(std::exchange(m_held, {}), DropReason::Echo);
    if (!repeat && !m_doubtful)
        m_copiesSeen = m_repeats;
    m_reply = *payload;
    m_state = m_reply.size() > m_maxReply ? State::TooLong : State::Done;
}

void ModbusMatcher::drop(std::string bytes, DropReason reason) {
    m_dropped.push_back({std::move(bytes), reason});
    m_replyBegun = false; // what came so far was no reply
}

std::vector<DroppedBytes> ModbusMatcher::takeDropped() {
    if (!m_noise.empty())
        m_dropped.push_back({std::exchange(m_noise, {}), DropReason::NotAReply});
    return std::exchange(m_dropped, {});
}

std::vector<std::string> ModbusMatcher::takeFrames() {
    return std::exchange(m_frames, {});
}

} // namespace uartce
