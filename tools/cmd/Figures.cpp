// The figures of a scan (its time-outs from the wire, its duration) and of a soak.

#include "cmd/Cli.h"

#include <uartce.h>

#include <algorithm>
#include <cstdio>

namespace cmd {

namespace {
// The time bytes take on the wire at frameBits a byte, in ms rounded up.
unsigned wireMs(unsigned bytes, std::uint32_t baud, unsigned frameBits) {
    const unsigned long bits = static_cast<unsigned long>(bytes) * frameBits;
    return static_cast<unsigned>((bits * 1000 + baud - 1) / baud);
}
unsigned scanCommandBytes(bool checksum) {
    return 4 + (checksum ? 2 : 0) + 1; // $AAM, checksum, CR
}
} // namespace

unsigned frameBits(const Options& o) {
    return portula::bitsPerCharacter(static_cast<unsigned>(o.dataBits), o.parity,
                                     static_cast<unsigned>(o.stopBits));
}

unsigned scanTimeoutMs(std::uint32_t baud, bool checksum, unsigned frameBits, unsigned latencyMs) {
    return wireMs(scanCommandBytes(checksum) + kScanMaxReply + 1, baud, frameBits) + kTurnaroundMs +
           latencyMs;
}

unsigned scanFirstByteMs(std::uint32_t baud, bool checksum, unsigned frameBits,
                         unsigned latencyMs) {
    return wireMs(scanCommandBytes(checksum), baud, frameBits) + kTurnaroundMs + latencyMs;
}

std::string modbusScanRequest(unsigned id) {
    return {static_cast<char>(id), 3, 0, 0, 0, 1};
}

unsigned modbusScanTimeoutMs(std::uint32_t baud, portula::ModbusMode mode, unsigned frameBits,
                             unsigned latencyMs) {
    const auto request = static_cast<unsigned>(modbusScanRequest(1).size());
    // ASCII: ':', two hex digits a byte and two for the LRC, CR LF.
    const auto ascii = [](unsigned bytes) { return 1 + 2 * (bytes + 1) + 2; };
    if (mode == portula::ModbusMode::Ascii)
        return wireMs(ascii(request) + ascii(kModbusScanReply), baud, frameBits) + kTurnaroundMs +
               latencyMs;
    const auto silence = portula::rtuSilence(baud, frameBits);
    const auto silenceMs = static_cast<unsigned>((silence.count() + 999) / 1000);
    return wireMs(request + 2 + kModbusScanReply + 2, baud, frameBits) + silenceMs + kTurnaroundMs +
           latencyMs;
}

// A Modbus scan waits the whole time-out for a silent id: the library has no first-byte wait
// for a Modbus exchange.
unsigned long modbusScanMs(const Options& o) {
    unsigned long total = 0;
    for (std::uint32_t baud : o.bauds)
        for (std::uint8_t parity : o.parities) {
            Options at = o;
            at.parity = parity;
            total +=
                (o.timeoutMs ? *o.timeoutMs : modbusScanTimeoutMs(baud, *o.modbus, frameBits(at))) *
                o.addresses.size();
        }
    return total;
}

unsigned long scanSilentMs(const Options& o) {
    if (o.modbus)
        return modbusScanMs(o);
    unsigned long total = 0;
    for (std::uint32_t baud : o.bauds)
        for (bool checksum : {false, true})
            if (o.scanChecksum == ScanChecksum::Auto ||
                (o.scanChecksum == ScanChecksum::On) == checksum)
                total +=
                    (o.timeoutMs ? *o.timeoutMs : scanFirstByteMs(baud, checksum, frameBits(o))) *
                    o.addresses.size();
    return total;
}

unsigned long scanWorstCaseMs(const Options& o) {
    if (o.modbus)
        return modbusScanMs(o);
    unsigned long total = 0;
    for (std::uint32_t baud : o.bauds) {
        unsigned long perAddress = 0;
        for (bool checksum : {false, true}) {
            const bool tried = o.scanChecksum == ScanChecksum::Auto ||
                               (o.scanChecksum == ScanChecksum::On) == checksum;
            if (tried)
                perAddress +=
                    o.timeoutMs ? *o.timeoutMs : scanTimeoutMs(baud, checksum, frameBits(o));
        }
        total += perAddress * o.addresses.size();
    }
    return total;
}

void SoakStats::add(const Outcome& outcome) {
    ++m_sent;
    m_late += outcome.late;
    if (outcome.expected) {
        ++m_answered;
        m_roundTrips.push_back(outcome.roundTripUs);
        m_run = 0;
        return;
    }
    if (outcome.status == UARTCE_OK)
        ++m_unexpected;
    else if (outcome.status == UARTCE_ERR_NO_REPLY)
        ++m_timeouts;
    else if (outcome.status == UARTCE_ERR_CHECKSUM)
        ++m_checksum;
    else
        ++m_other;
    m_longestRun = std::max(m_longestRun, ++m_run);
}

std::int64_t SoakStats::roundTripUs(double quantile) const {
    if (m_roundTrips.empty())
        return 0;
    std::vector<std::int64_t> sorted = m_roundTrips;
    std::sort(sorted.begin(), sorted.end());
    const double rank = quantile * static_cast<double>(sorted.size());
    std::size_t index = rank <= 1 ? 0 : static_cast<std::size_t>(rank + 0.999999) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

std::string SoakStats::text() const {
    char line[512];
    std::snprintf(
        line, sizeof line,
        "sent %lu  answered %lu  time-outs %lu  checksum errors %lu  unexpected %lu  "
        "other errors %lu  longest failure run %lu  late replies %lu\n"
        "round trip us: min %lld  median %lld  p99 %lld  max %lld\n",
        m_sent, m_answered, m_timeouts, m_checksum, m_unexpected, m_other, m_longestRun, m_late,
        static_cast<long long>(roundTripUs(0)), static_cast<long long>(roundTripUs(0.5)),
        static_cast<long long>(roundTripUs(0.99)), static_cast<long long>(roundTripUs(1)));
    std::string text = line;
    // No command answered: there is no round trip to give.
    if (m_roundTrips.empty())
        text = text.substr(0, text.find("round trip us:")) + "round trip us: -\n";
    return text;
}

std::string SoakStats::json() const {
    char line[512];
    std::snprintf(
        line, sizeof line,
        "{\"sent\":%lu,\"answered\":%lu,\"timeouts\":%lu,\"checksum_errors\":%lu,"
        "\"unexpected\":%lu,\"other_errors\":%lu,\"longest_failure_run\":%lu,"
        "\"late_replies\":%lu,"
        "\"rtt_us\":{\"min\":%lld,\"median\":%lld,\"p99\":%lld,\"max\":%lld}}\n",
        m_sent, m_answered, m_timeouts, m_checksum, m_unexpected, m_other, m_longestRun, m_late,
        static_cast<long long>(roundTripUs(0)), static_cast<long long>(roundTripUs(0.5)),
        static_cast<long long>(roundTripUs(0.99)), static_cast<long long>(roundTripUs(1)));
    return line;
}

} // namespace cmd
