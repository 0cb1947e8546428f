// The trace's line format: a pure function of the record.

#include "Trace.h"

#include "rules/Text.h"

#include <cstdio>
#include <ctime>

namespace uartce::trace {

namespace {

void appendNumber(std::string& line, long long value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%lld", value);
    line.append(digits, static_cast<std::size_t>(n));
}

// The date and time to the second, formatted once a second rather than once a call.
std::string_view secondsStamp(std::int64_t unixSeconds) {
    static thread_local std::int64_t cachedSecond = -1;
    static thread_local char stamp[32];
    static thread_local std::size_t length = 0;
    if (unixSeconds != cachedSecond) {
        const auto seconds = static_cast<std::time_t>(unixSeconds);
        std::tm utc{};
        ::gmtime_r(&seconds, &utc);
        length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        cachedSecond = unixSeconds;
    }
    return {stamp, length};
}
} // namespace

std::string formatRecord(const Record& r) {
    std::string line;
    line.reserve(96 + r.call.size() + 2 * (r.out.size() + r.in.size()));
    line += "{\"time\":\"";
    line += secondsStamp(r.unixMicros / 1000000);
    char micros[12];
    std::snprintf(micros, sizeof micros, ".%06lldZ",
                  static_cast<long long>(r.unixMicros % 1000000));
    line += micros;
    line += "\",\"port\":";
    appendNumber(line, r.port);
    line += ",\"call\":\"";
    line += r.call;
    line += "\",\"out\":";
    portula::appendJsonString(line, r.out);
    line += ",\"in\":";
    portula::appendJsonString(line, r.in);
    line += ",\"status\":";
    appendNumber(line, r.status);
    line += ",\"us\":";
    appendNumber(line, r.durationMicros);
    if (!r.reason.empty()) {
        line += ",\"reason\":\"";
        line += r.reason;
        line += '"';
    }
    line += "}\n";
    return line;
}

} // namespace uartce::trace
