#include "sim/Line.h"

#include "rules/Rates.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {
// The modules' characters have 8 data bits.
unsigned bitsPerCharacter(const LineConfig& config) {
    return portula::bitsPerCharacter(8, config.parity ? 1 : 0, config.stopBits);
}

std::chrono::nanoseconds byteTimeAt(const LineConfig& config) {
    return std::chrono::nanoseconds(std::int64_t{bitsPerCharacter(config)} * 1'000'000'000 /
                                    config.baud);
}

// A Modbus ASCII frame's command for the truth: the frame without its CR LF.
std::string asciiCommand(std::string_view frame) {
    if (frame.ends_with('\n'))
        frame.remove_suffix(1);
    if (frame.ends_with('\r'))
        frame.remove_suffix(1);
    return std::string(frame);
}

// As long as the modules keep a command line.
constexpr std::size_t kMaxLine = 4096;
} // namespace

Line::Line(Module module, LineConfig config)
    : m_module(std::move(module)), m_config(config),
      m_byteTime(config.wirePace && config.baud != 0 ? byteTimeAt(config)
                                                     : std::chrono::nanoseconds(0)),
      m_silence(portula::rtuSilence(config.baud, bitsPerCharacter(config))), m_random(config.seed) {
}

Line::RecordId Line::newRecord(TruthKind kind, std::string command, Time heard, bool open) {
    const RecordId id = m_nextRecord++;
    if (m_config.truth) {
        Pending& p = m_pending[id];
        p.record.kind = kind;
        p.record.command = std::move(command);
        p.record.heard = heard;
        p.record.modbus = m_module.modbusMode();
        p.open = open;
    }
    return id;
}

void Line::expect(RecordId id, std::size_t bytes) {
    if (const auto p = m_pending.find(id); p != m_pending.end())
        p->second.expected += bytes;
}

void Line::close(RecordId id, const std::string& command) {
    if (const auto p = m_pending.find(id); p != m_pending.end()) {
        p->second.open = false;
        p->second.record.command = command;
        finishIfDone(id);
    }
}

void Line::finishIfDone(RecordId id) {
    const auto p = m_pending.find(id);
    if (p == m_pending.end() || p->second.open)
        return;
    if (p->second.expected == 0) {
        m_pending.erase(p); // nothing of it ever went out
    } else if (p->second.record.bytes.size() == p->second.expected) {
        m_truth.push_back(std::move(p->second.record));
        m_pending.erase(p);
    }
}

std::vector<TruthRecord> Line::takeTruth() {
    return std::exchange(m_truth, {});
}

void Line::queueSignal(Outgoing chunk) {
    m_heldBytes += chunk.bytes.size();
    expect(chunk.record, chunk.bytes.size());
    // What the wire has begun to send was due by now, so a signal never cuts into it.
    const auto after = std::upper_bound(m_queue.begin(), m_queue.end(), chunk.due,
                                        [](Time t, const Outgoing& o) { return t < o.due; });
    m_queue.insert(after, std::move(chunk));
}

void Line::queueAnswer(Outgoing chunk) {
    m_heldBytes += chunk.bytes.size();
    expect(chunk.record, chunk.bytes.size());
    chunk.due = std::max(chunk.due, m_answersDue);
    m_answersDue = chunk.due;
    // A duplicate's copy may be due later still: it holds back no reply.
    const auto after = std::upper_bound(m_queue.begin(), m_queue.end(), chunk.due,
                                        [](Time t, const Outgoing& o) { return t < o.due; });
    m_queue.insert(after, std::move(chunk));
}

// The echo is the terminal's own signal, changed on the way as the line's faults have it. A
// command's echo is one record however many reads brought the command.
void Line::queueEcho(std::string_view segment, Time now) {
    std::string echo;
    for (char c : segment) {
        char returned = c;
        const unsigned every = m_config.garbleEchoEvery;
        if (every != 0 && (m_echoedLines + 1) % every == 0 && !m_garbledThisLine && c != 0) {
            // Another transmitter's 0 wins over the lowest 1 of the first byte it meets.
            const auto byte = static_cast<unsigned char>(c);
            returned = static_cast<char>(byte & (byte - 1));
            m_garbledThisLine = true;
        }
        // A receiver that turns on late misses the start of each command.
        if (m_echoedOfLine++ < m_config.echoSkip)
            continue;
        if (m_heldBytes + echo.size() >= kMaxHeldBytes)
            continue;
        echo.push_back(returned);
        if (m_config.doubleEcho)
            m_echoOfLine.push_back(returned);
    }
    if (!echo.empty()) {
        if (m_echoRecord == 0)
            m_echoRecord = newRecord(TruthKind::Echo, {}, now, true);
        queueSignal({std::move(echo), now, m_echoRecord});
    }
}

void Line::endEcho(Time now, const std::string& command) {
    ++m_echoedLines;
    m_garbledThisLine = false;
    if (m_echoRecord != 0)
        close(m_echoRecord, command);
    m_echoRecord = 0;
    if (m_config.doubleEcho && !m_echoOfLine.empty() &&
        m_heldBytes + m_echoOfLine.size() <= kMaxHeldBytes) {
        // The second converter's copy, right behind the first.
        const RecordId copy = newRecord(TruthKind::Echo, command, now);
        queueSignal({std::move(m_echoOfLine), now, copy});
    }
    m_echoOfLine.clear();
    m_echoedOfLine = 0;
}

// Bytes a disturbed line makes of nothing: never printable, never a line ending.
std::string Line::noise() {
    std::string burst;
    std::uniform_int_distribution<unsigned> pick(0, 128);
    for (unsigned i = 0; i < m_config.noiseBytes; ++i) {
        const unsigned n = pick(m_random);
        burst.push_back(static_cast<char>(n == 0 ? 0x00 : 0x7F + n));
    }
    return burst;
}

void Line::receive(std::string_view bytes, Time now, bool heard) {
    m_now = std::max(m_now, now);
    if (m_module.modbusMode()) {
        receiveModbus(bytes, now, heard);
        return;
    }
    if (!heard)
        m_module.resetLine();
    // The echo of everything sent goes first; the modules answer once the terminal is done.
    struct Answer {
        Outgoing chunk;
        bool signal;
    };
    std::vector<Answer> answers;
    while (!bytes.empty()) {
        const std::size_t cr = bytes.find('\r');
        const std::string_view segment = bytes.substr(0, cr == bytes.npos ? bytes.size() : cr + 1);
        bytes.remove_prefix(segment.size());
        const bool ends = segment.back() == '\r';
        if (!heard)
            m_lineUnderstood = false;
        for (char c : segment.substr(0, segment.size() - (ends ? 1 : 0)))
            if (c != '\n' && m_lineText.size() < kMaxLine)
                m_lineText.push_back(c);
        if (m_config.echo) {
            queueEcho(segment, now);
            if (ends)
                endEcho(now, m_lineText);
        }
        std::vector<Reply> replies;
        if (heard)
            replies = m_module.receive(segment);
        if (!m_module.config().echo && ends) {
            if (m_config.truth) {
                TruthRecord r;
                r.command = m_lineText;
                r.heard = now;
                r.understood = m_lineUnderstood;
                m_truth.push_back(std::move(r));
            }
            if (m_lineUnderstood && m_config.noiseEvery != 0 &&
                ++m_heardLines % m_config.noiseEvery == 0)
                answers.push_back({{noise(), now, newRecord(TruthKind::Noise, {}, now)}, true});
        }
        for (Reply& reply : replies) {
            const Time due = now + std::chrono::milliseconds(m_config.delayMs + reply.delayMs);
            if (m_module.config().echo) {
                // A device that returns what it gets: its echo of each line is one record.
                if (m_echoRecord == 0)
                    m_echoRecord = newRecord(TruthKind::Echo, {}, now, true);
                answers.push_back({{std::move(reply.bytes), due, m_echoRecord}, false});
                continue;
            }
            Outgoing chunk{std::move(reply.bytes), due,
                           newRecord(TruthKind::Reply, m_lineText, now)};
            if (reply.duplicateMs) {
                chunk.duplicateMs = reply.duplicateMs;
                chunk.copy = newRecord(TruthKind::Duplicate, m_lineText, now);
            }
            answers.push_back({std::move(chunk), false});
        }
        if (ends) {
            if (m_module.config().echo && m_echoRecord != 0) {
                close(m_echoRecord, m_lineText);
                m_echoRecord = 0;
            }
            m_lineText.clear();
            m_lineUnderstood = true;
        }
    }
    for (Answer& a : answers) {
        if (m_heldBytes + a.chunk.bytes.size() > kMaxHeldBytes) {
            // Lost: whatever record it had never sees a byte.
            m_pending.erase(a.chunk.record);
            m_pending.erase(a.chunk.copy);
            continue;
        }
        if (a.signal)
            queueSignal(std::move(a.chunk));
        else
            queueAnswer(std::move(a.chunk));
    }
}

void Line::receiveModbus(std::string_view bytes, Time now, bool heard) {
    if (*m_module.modbusMode() == portula::ModbusMode::Rtu) {
        // Bytes after the silence begin the next frame.
        if (m_frameEnds && *m_frameEnds <= now)
            endFrame(*m_frameEnds);
        if (bytes.empty())
            return;
        if (!heard)
            m_lineUnderstood = false;
        m_lineText.append(bytes.substr(0, kMaxLine - std::min(kMaxLine, m_lineText.size())));
        if (m_config.echo)
            queueEcho(bytes, now);
        m_frameEnds = now + m_silence;
        return;
    }
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        const std::string_view segment = bytes.substr(0, lf == bytes.npos ? bytes.size() : lf + 1);
        bytes.remove_prefix(segment.size());
        if (!heard)
            m_lineUnderstood = false;
        m_lineText.append(segment.substr(0, kMaxLine - std::min(kMaxLine, m_lineText.size())));
        if (m_config.echo)
            queueEcho(segment, now);
        if (segment.back() == '\n')
            endFrame(now);
    }
}

// The frame heard whole at `at`: its echo ends, and the slaves answer it unless the line
// settings kept them from making it out.
void Line::endFrame(Time at) {
    m_frameEnds.reset();
    const portula::ModbusMode mode = *m_module.modbusMode();
    const std::string command =
        mode == portula::ModbusMode::Rtu ? m_lineText : asciiCommand(m_lineText);
    if (m_config.echo)
        endEcho(at, command);
    if (m_config.truth) {
        TruthRecord r;
        r.command = command;
        r.heard = at;
        r.understood = m_lineUnderstood;
        r.modbus = mode;
        m_truth.push_back(std::move(r));
    }
    std::vector<Outgoing> noise;
    std::optional<Reply> reply;
    if (m_lineUnderstood) {
        if (m_config.noiseEvery != 0 && ++m_heardLines % m_config.noiseEvery == 0)
            noise.push_back({this->noise(), at, newRecord(TruthKind::Noise, {}, at)});
        reply = m_module.answerFrame(m_lineText);
    }
    m_lineText.clear();
    m_lineUnderstood = true;
    for (Outgoing& n : noise) {
        if (m_heldBytes + n.bytes.size() > kMaxHeldBytes)
            m_pending.erase(n.record);
        else
            queueSignal(std::move(n));
    }
    if (!reply)
        return;
    Outgoing chunk{std::move(reply->bytes),
                   at + std::chrono::milliseconds(m_config.delayMs + reply->delayMs),
                   newRecord(TruthKind::Reply, command, at)};
    if (reply->duplicateMs) {
        chunk.duplicateMs = reply->duplicateMs;
        chunk.copy = newRecord(TruthKind::Duplicate, command, at);
    }
    if (m_heldBytes + chunk.bytes.size() > kMaxHeldBytes) {
        m_pending.erase(chunk.record);
        m_pending.erase(chunk.copy);
        return;
    }
    queueAnswer(std::move(chunk));
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
    m_readyRuns.clear();
    m_heldBytes = 0;
    m_answersDue = {};
    // What had begun to reach the terminal is recorded as far as it went.
    for (auto& [id, p] : m_pending) {
        if (p.record.bytes.empty())
            continue;
        if (p.open)
            p.record.command = m_lineText;
        p.record.cut = p.record.bytes.size() < p.expected;
        m_truth.push_back(std::move(p.record));
    }
    m_pending.clear();
    m_echoRecord = 0;
    m_echoOfLine.clear();
    m_echoedOfLine = 0;
    m_lineText.clear();
    m_lineUnderstood = true;
    m_frameEnds.reset();
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
    m_now = std::max(m_now, now);
    if (m_frameEnds && *m_frameEnds <= now)
        endFrame(*m_frameEnds);
    while (!m_queue.empty()) {
        Outgoing& front = m_queue.front();
        const Time start = std::max(front.due, m_wireFree);
        if (start > now)
            break;
        m_wireFree = start + m_byteTime;
        m_arriving.push_back({front.bytes[m_sentOfFront], m_wireFree, front.record});
        if (++m_sentOfFront < front.bytes.size())
            continue;
        Outgoing done = std::move(front);
        m_queue.pop_front();
        m_sentOfFront = 0;
        if (done.duplicateMs) {
            // The copy, once the first is through the wire.
            if (m_heldBytes + done.bytes.size() > kMaxHeldBytes) {
                m_pending.erase(done.copy);
                continue;
            }
            const Time due = m_wireFree + std::chrono::milliseconds(*done.duplicateMs);
            queueSignal({std::move(done.bytes), due, done.copy});
        }
    }
    while (!m_arriving.empty() && handedOn(m_arriving.front().at) <= now) {
        const Arriving& a = m_arriving.front();
        m_ready.push_back(a.byte);
        if (!m_readyRuns.empty() && m_readyRuns.back().record == a.record)
            ++m_readyRuns.back().count;
        else
            m_readyRuns.push_back({a.record, 1});
        m_arriving.pop_front();
    }
}

void Line::consume(std::size_t count, Time now) {
    count = std::min(count, m_ready.size());
    std::size_t offset = 0;
    while (offset < count) {
        ReadyRun& run = m_readyRuns.front();
        const std::size_t taken = std::min(run.count, count - offset);
        if (const auto p = m_pending.find(run.record); p != m_pending.end()) {
            TruthRecord& r = p->second.record;
            if (r.bytes.empty())
                r.start = now;
            r.bytes.append(m_ready, offset, taken);
            r.end = now;
            finishIfDone(run.record);
        }
        offset += taken;
        run.count -= taken;
        if (run.count == 0)
            m_readyRuns.pop_front();
    }
    m_ready.erase(0, count);
    m_heldBytes -= count;
}

std::optional<Line::Time> Line::nextEvent() const {
    std::optional<Time> next = m_frameEnds;
    if (!m_arriving.empty()) {
        const Time handed = handedOn(m_arriving.front().at);
        next = next ? std::min(*next, handed) : handed;
    }
    if (!m_queue.empty()) {
        const Time start = std::max(m_queue.front().due, m_wireFree);
        next = next ? std::min(*next, start) : start;
    }
    return next;
}

} // namespace sim
