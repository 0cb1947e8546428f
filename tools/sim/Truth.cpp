#include "sim/Truth.h"

#include "rules/Text.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {
const char* kindName(TruthKind kind) {
    switch (kind) {
    case TruthKind::Heard:
        return "heard";
    case TruthKind::Reply:
        return "reply";
    case TruthKind::Duplicate:
        return "duplicate";
    case TruthKind::Echo:
        return "echo";
    case TruthKind::Noise:
        return "noise";
    }
    return "unknown";
}

void appendTime(std::string& out, const char* key, TruthRecord::Time t) {
    out += ",\"";
    out += key;
    out += "\":";
    out += std::to_string(
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}
} // namespace

std::string truthJson(const TruthRecord& r) {
    std::string out = "{\"kind\":\"";
    out += kindName(r.kind);
    out += '"';
    if (r.modbus)
        out += *r.modbus == portula::ModbusMode::Rtu ? ",\"mode\":\"rtu\"" : ",\"mode\":\"ascii\"";
    if (r.kind != TruthKind::Noise) {
        out += ",\"command\":";
        portula::appendJsonString(out, r.command);
    }
    if (r.kind == TruthKind::Heard || r.kind == TruthKind::Reply || r.kind == TruthKind::Duplicate)
        appendTime(out, "heard_us", r.heard);
    if (r.kind == TruthKind::Heard) {
        if (!r.understood)
            out += ",\"understood\":false";
    } else {
        out += ",\"bytes\":";
        portula::appendJsonString(out, r.bytes);
        appendTime(out, "start_us", r.start);
        appendTime(out, "end_us", r.end);
        if (r.cut)
            out += ",\"cut\":true";
    }
    out += "}\n";
    return out;
}

TruthLog::~TruthLog() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TruthLog::open(const std::string& path) {
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return m_fd >= 0;
}

bool TruthLog::write(const std::vector<TruthRecord>& records) {
    for (const TruthRecord& r : records) {
        const std::string line = truthJson(r);
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(m_fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
    }
    return true;
}

} // namespace sim
