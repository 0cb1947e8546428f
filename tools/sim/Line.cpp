#include "sim/Line.h"

#include <algorithm>

namespace sim {

namespace {
// A start bit, 8 data bits and the stop bits: the modules' frame has no parity.
std::chrono::nanoseconds byteTimeAt(std::uint32_t baud, int stopBits) {
    const std::int64_t bits = stopBits == 2 ? 11 : 10;
    return std::chrono::nanoseconds(bits * 1'000'000'000 / baud);
}
} // namespace

Line::Line(Module module, LineConfig config)
    : m_module(std::move(module)), m_config(config),
      m_byteTime(config.wirePace && config.baud != 0 ? byteTimeAt(config.baud, config.stopBits)
                                                     : std::chrono::nanoseconds(0)) {}

// The echo is the terminal's own signal: it is on the wire as the terminal sends, ahead of
// anything due later (a late reply included), behind what is due already.
void Line::queueEcho(std::string_view bytes, Time now) {
    std::string echo;
    for (char c : bytes) {
        if (m_heldBytes + echo.size() >= kMaxHeldBytes)
            break;
        char returned = c;
        const unsigned every = m_config.garbleEchoEvery;
        if (every != 0 && (m_echoedLines + 1) % every == 0 && !m_garbledThisLine && c != 0) {
            // Another transmitter's 0 wins over the lowest 1 of the first byte it meets.
            const auto byte = static_cast<unsigned char>(c);
            returned = static_cast<char>(byte & (byte - 1));
            m_garbledThisLine = true;
        }
        if (c == '\r') {
            ++m_echoedLines;
            m_garbledThisLine = false;
        }
        echo.push_back(returned);
    }
    if (echo.empty())
        return;
    m_heldBytes += echo.size();
    // What the wire has begun to send was due by now, so the echo never cuts into it.
    const auto after = std::upper_bound(m_queue.begin(), m_queue.end(), now,
                                        [](Time t, const Outgoing& o) { return t < o.due; });
    m_queue.insert(after, Outgoing{std::move(echo), now});
}

void Line::receive(std::string_view bytes, Time now, bool heard) {
    if (m_config.echo)
        queueEcho(bytes, now);
    if (!heard) {
        m_module.resetLine();
        return;
    }
    for (Reply& reply : m_module.receive(bytes)) {
        if (m_heldBytes + reply.bytes.size() > kMaxHeldBytes)
            break;
        m_heldBytes += reply.bytes.size();
        Time due = now + std::chrono::milliseconds(m_config.delayMs + reply.delayMs);
        // The modules answer in turn: a late reply holds back those after it.
        if (!m_queue.empty())
            due = std::max(due, m_queue.back().due);
        m_queue.push_back({std::move(reply.bytes), due});
    }
}

std::size_t Line::flush() {
    if (m_config.keepReplies)
        return 0; // the modules know nothing of the terminal's buffers
    const std::size_t dropped = m_heldBytes;
    m_module.resetLine();
    m_queue.clear();
    m_sentOfFront = 0;
    m_arriving.clear();
    m_ready.clear();
    m_heldBytes = 0;
    return dropped;
}

Line::Time Line::handedOn(Time arrived) const {
    if (m_config.batchMs == 0)
        return arrived;
    // The adapter's timer ticks on whole multiples of its period.
    const auto period = std::chrono::nanoseconds(std::chrono::milliseconds(m_config.batchMs));
    const auto since = arrived.time_since_epoch();
    const auto ticks = (since + period - std::chrono::nanoseconds(1)) / period;
    return Time(std::chrono::duration_cast<Time::duration>(ticks * period));
}

void Line::advance(Time now) {
    while (!m_queue.empty()) {
        const Outgoing& front = m_queue.front();
        const Time start = std::max(front.due, m_wireFree);
        if (start > now)
            break;
        m_wireFree = start + m_byteTime;
        m_arriving.push_back({front.bytes[m_sentOfFront], m_wireFree});
        if (++m_sentOfFront == front.bytes.size()) {
            m_queue.pop_front();
            m_sentOfFront = 0;
        }
    }
    while (!m_arriving.empty() && handedOn(m_arriving.front().at) <= now) {
        m_ready.push_back(m_arriving.front().byte);
        m_arriving.pop_front();
    }
}

void Line::consume(std::size_t count) {
    count = std::min(count, m_ready.size());
    m_ready.erase(0, count);
    m_heldBytes -= count;
}

std::optional<Line::Time> Line::nextEvent() const {
    std::optional<Time> next;
    if (!m_arriving.empty())
        next = handedOn(m_arriving.front().at);
    if (!m_queue.empty()) {
        const Time start = std::max(m_queue.front().due, m_wireFree);
        next = next ? std::min(*next, start) : start;
    }
    return next;
}

} // namespace sim
