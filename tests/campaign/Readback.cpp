#include "campaign/Readback.h"

#include "rules/Modbus.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace campaign {

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The digits at [at, at + n) as a number; nullopt unless all n are digits.
std::optional<unsigned> digits(std::string_view text, std::size_t at, std::size_t n) {
    if (at + n > text.size())
        return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

// "Err_Code = N" at the start of text, followed by its end or by " (": N, else nullopt.
std::optional<unsigned> errCode(std::string_view text, bool wordsMayFollow) {
    constexpr std::string_view kPrefix = "Err_Code = ";
    if (text.substr(0, kPrefix.size()) != kPrefix)
        return std::nullopt;
    text.remove_prefix(kPrefix.size());
    std::size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9')
        ++n;
    unsigned value = 0;
    if (n == 0 || n > 5 || std::from_chars(text.data(), text.data() + n, value).ec != std::errc{})
        return std::nullopt;
    const std::string_view rest = text.substr(n);
    const bool ends = rest.empty() || (wordsMayFollow && rest.substr(0, 2) == " (");
    if (!ends || value == 0 || value > 0xFFFF)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::int64_t> logTimeUs(std::string_view s) {
    // 2026-12-09T18:30:33.961+0100
    if (s.size() != 28 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' ||
        s[16] != ':' || s[19] != '.' || (s[23] != '+' && s[23] != '-'))
        return std::nullopt;
    const auto year = digits(s, 0, 4), month = digits(s, 5, 2), day = digits(s, 8, 2);
    const auto hour = digits(s, 11, 2), minute = digits(s, 14, 2), second = digits(s, 17, 2);
    const auto ms = digits(s, 20, 3), zoneH = digits(s, 24, 2), zoneM = digits(s, 26, 2);
    if (!year || !month || !day || !hour || !minute || !second || !ms || !zoneH || !zoneM ||
        *month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 ||
        *second > 60 || *zoneH > 23 || *zoneM > 59)
        return std::nullopt;
    const std::int64_t zone =
        (s[23] == '+' ? 1 : -1) * static_cast<std::int64_t>(*zoneH * 60 + *zoneM) * 60;
    const std::int64_t local = daysFromCivil(*year, *month, *day) * 86400 +
                               static_cast<std::int64_t>(*hour * 3600 + *minute * 60 + *second);
    return (local - zone) * 1000000 + static_cast<std::int64_t>(*ms) * 1000;
}

std::optional<std::string> unescapeLogText(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i >= text.size())
            return std::nullopt;
        switch (text[i]) {
        case 'r':
            out.push_back('\r');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case '\\':
            out.push_back('\\');
            break;
        case 'x': {
            unsigned value = 0;
            const char* first = text.data() + i + 1;
            if (i + 2 >= text.size() ||
                std::from_chars(first, first + 2, value, 16).ptr != first + 2)
                return std::nullopt;
            out.push_back(static_cast<char>(value));
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

TermLog parseTermLog(std::string_view text, bool modbus) {
    TermLog log;
    bool awaiting = false; // a frame went out and its answer has not been read yet
    bool replied = false;  // Modbus: its reply is in, and its status may follow
    TermAnswer pending;
    std::size_t number = 0;
    const auto problem = [&](const std::string& why, std::string_view line) {
        log.problems.push_back("log line " + std::to_string(number) + ": " + why + ": " +
                               std::string(line));
    };
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        // STAMP, a blank, the direction, a blank, the bytes (which may be none).
        const std::size_t blank = line.find(' ');
        const std::optional<std::int64_t> when =
            blank == std::string_view::npos ? std::nullopt : logTimeUs(line.substr(0, blank));
        if (!when || line.size() < blank + 3 || line[blank + 2] != ' ') {
            problem("not a log line", line);
            continue;
        }
        const char direction = line[blank + 1];
        const std::optional<std::string> bytes = unescapeLogText(line.substr(blank + 3));
        if (!bytes || (direction != '>' && direction != '<' && direction != '!')) {
            problem("not a log line", line);
            continue;
        }
        if (replied) {
            replied = false;
            const std::optional<unsigned> code =
                direction == '!' ? errCode(*bytes, true) : std::nullopt;
            if (code) {
                pending.status = *code;
                pending.failure = *bytes;
                pending.answeredUs = *when;
            }
            log.answers.push_back(std::move(pending));
            if (code)
                continue;
        }
        if (direction == '>') {
            if (awaiting)
                problem("the frame before has no answer", line);
            pending = TermAnswer{};
            pending.frame = *bytes;
            pending.sentUs = *when;
            awaiting = true;
            continue;
        }
        if (!awaiting)
            continue; // bytes that came between commands, or a word on the port's state
        awaiting = false;
        pending.answeredUs = *when;
        if (direction == '<' && modbus) {
            const std::optional<std::string> hex = portula::parseHexBytes(*bytes);
            if (!hex || hex->empty()) {
                problem("a reply that is not hex bytes", line);
                continue;
            }
            pending.reply = *hex;
            replied = true;
            continue;
        }
        if (direction == '<') {
            pending.reply = *bytes;
        } else if (const std::optional<unsigned> code = errCode(*bytes, true)) {
            pending.status = *code;
            pending.failure = *bytes;
        } else {
            problem("a frame's answer that is neither a reply nor Err_Code", line);
            continue;
        }
        log.answers.push_back(std::move(pending));
    }
    if (replied)
        log.answers.push_back(std::move(pending));
    if (awaiting)
        log.problems.push_back("the last frame, " + pending.frame + ", has no answer");
    return log;
}

std::string screenLine(const TermAnswer& answer) {
    if (answer.status != 0)
        return answer.failure;
    std::string text;
    for (const unsigned char c : answer.reply) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            text += escape;
        }
    }
    return text;
}

std::size_t missingInOrder(const std::vector<std::string>& screen,
                           const std::vector<std::string>& expected) {
    std::size_t missing = 0;
    auto from = screen.begin();
    for (const std::string& line : expected) {
        const auto found = std::find(from, screen.end(), line);
        if (found == screen.end()) {
            ++missing;
            continue;
        }
        from = found + 1;
    }
    return missing;
}

Window steadyWindow(const TermAnswer& answer, std::int64_t wallMinusSteadyUs, std::int64_t slackUs,
                    Window process) {
    // The log's times are cut to the millisecond: the reply's log line may have been written
    // up to 1 ms after its stamp.
    Window w{answer.sentUs - wallMinusSteadyUs - slackUs,
             answer.answeredUs + 1000 - wallMinusSteadyUs + slackUs};
    w.startUs = std::max(w.startUs, process.startUs);
    w.endUs = std::min(w.endUs, process.endUs);
    return w.startUs <= w.endUs ? w : process;
}

FieldAnswer parseReceiveField(const std::string& field) {
    if (const std::optional<unsigned> code = errCode(field, false))
        return {*code, ""};
    return {0, field};
}

} // namespace campaign
