#include "campaign/Oracle.h"

#include "rules/Framing.h"
#include "rules/Modbus.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace campaign {

const char* verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Right:
        return "right";
    case Verdict::Wrong:
        return "WRONG";
    case Verdict::Excused:
        return "excused";
    case Verdict::Lost:
        return "lost";
    case Verdict::Failed:
        return "failed";
    }
    return "?";
}

namespace {

std::string stripEnding(std::string bytes) {
    while (!bytes.empty() && (bytes.back() == '\r' || bytes.back() == '\n'))
        bytes.pop_back();
    return bytes;
}

// When the reply's CR, its end for the library, was on the line: with a CR LF ending the LF
// comes a byte's time after it, which on a paced line is a millisecond. The simulator's times
// are those of its writes, a byte at a time and not evenly spaced: a byte's time more is
// allowed.
std::int64_t crEndUs(const TruthRecord& r) {
    const std::string& b = r.bytes;
    if (b.size() < 2 || b.back() != '\n' || b[b.size() - 2] != '\r')
        return r.endUs;
    return r.endUs - 2 * (r.endUs - r.startUs) / static_cast<std::int64_t>(b.size() - 1);
}

// A reply the library can take whole: not cut, or cut only after its CR (the LF of a CR LF
// ending lost to the next command's flush).
bool whole(const TruthRecord& r) {
    return !r.cut || r.bytes.find('\r') != std::string::npos;
}

bool sameCommand(const std::string& heard, const Exchange& e) {
    if (!e.modbus.empty())
        return heard == e.command;
    return heard == e.command || heard == framed(e.command, e.checksum);
}

} // namespace

std::optional<std::string> modbusReplyOf(const TruthRecord& r, const std::string& mode) {
    if (r.mode != mode || r.cut)
        return std::nullopt;
    return portula::modbusPayload(
        mode == "rtu" ? portula::ModbusMode::Rtu : portula::ModbusMode::Ascii, r.bytes);
}

std::string modbusHeardFrame(const std::string& mode, const std::string& request) {
    std::string frame = portula::modbusFrame(
        mode == "rtu" ? portula::ModbusMode::Rtu : portula::ModbusMode::Ascii, request);
    if (mode == "ascii" && frame.size() >= 2)
        frame.resize(frame.size() - 2);
    return frame;
}

std::optional<std::string> payloadOf(const std::string& bytes, bool checksum) {
    std::string payload = stripEnding(bytes);
    if (checksum) {
        if (payload.size() < 2)
            return std::nullopt;
        payload.resize(payload.size() - 2);
    }
    return payload;
}

bool checksumHolds(const std::string& bytes) {
    std::size_t payload = 0;
    return portula::verifyReplyChecksum(stripEnding(bytes), payload);
}

std::string framed(const std::string& command, bool checksum) {
    return checksum ? command + portula::hexPair(portula::checksumOf(command)) : command;
}

std::vector<Judgement> judgeRun(const std::vector<TruthRecord>& truth,
                                const std::vector<Exchange>& run, const OracleParams& params,
                                std::map<std::int64_t, unsigned>& knownTimeouts,
                                unsigned fallbackTimeoutMs) {
    std::vector<Judgement> out(run.size());
    if (run.empty())
        return out;
    std::int64_t runStart = run.front().startUs;
    std::int64_t runEnd = run.front().endUs;
    for (const Exchange& e : run) {
        runStart = std::min(runStart, e.startUs);
        runEnd = std::max(runEnd, e.endUs);
    }
    std::vector<long> heard; // the run's heard records, in the order they were heard
    for (std::size_t i = 0; i < truth.size(); ++i)
        if (truth[i].kind == Kind::Heard && truth[i].heardUs >= runStart &&
            truth[i].heardUs <= runEnd)
            heard.push_back(static_cast<long>(i));
    std::stable_sort(heard.begin(), heard.end(),
                     [&](long a, long b) { return truth[a].heardUs < truth[b].heardUs; });
    const auto within = [&](long h, const Exchange& e) {
        return truth[h].heardUs >= e.startUs && truth[h].heardUs <= e.endUs;
    };

    // The k-th command sent is the k-th heard. When the counts differ (a command the line
    // never delivered, a previous run's command heard late), match in order by window and text.
    std::vector<long> match(run.size(), -1);
    bool ordinal = heard.size() == run.size();
    // A Modbus request heard is its frame, CRC or LRC included: the k-th heard must be it.
    for (std::size_t k = 0; ordinal && k < run.size(); ++k)
        ordinal = within(heard[k], run[k]) &&
                  (run[k].modbus.empty() || sameCommand(truth[heard[k]].command, run[k]));
    const bool modbus =
        std::any_of(run.begin(), run.end(), [](const Exchange& e) { return !e.modbus.empty(); });
    if (ordinal) {
        for (std::size_t k = 0; k < run.size(); ++k)
            match[k] = heard[k];
    } else if (modbus) {
        // Requests repeat (the same read, the same write), and one the slaves never heard
        // (two frames sent within the silence are one to them) must not take a later
        // namesake's record and leave every request after it unmatched: the most requests
        // matched, in order.
        const std::size_t n = run.size(), m = heard.size();
        std::vector<std::vector<std::uint32_t>> most(n + 1, std::vector<std::uint32_t>(m + 1, 0));
        const auto fits = [&](std::size_t k, std::size_t j) {
            return within(heard[j], run[k]) && sameCommand(truth[heard[j]].command, run[k]);
        };
        for (std::size_t k = n; k-- > 0;)
            for (std::size_t j = m; j-- > 0;)
                most[k][j] = std::max(
                    {most[k + 1][j], most[k][j + 1], fits(k, j) ? most[k + 1][j + 1] + 1 : 0u});
        for (std::size_t k = 0, j = 0; k < n && j < m;) {
            if (fits(k, j) && most[k][j] == most[k + 1][j + 1] + 1)
                match[k++] = heard[j++];
            else if (most[k + 1][j] >= most[k][j + 1])
                ++k;
            else
                ++j;
        }
    } else {
        std::size_t next = 0;
        for (std::size_t k = 0; k < run.size(); ++k)
            for (std::size_t j = next; j < heard.size(); ++j)
                if (within(heard[j], run[k]) && sameCommand(truth[heard[j]].command, run[k])) {
                    match[k] = heard[j];
                    next = j + 1;
                    break;
                }
    }
    for (std::size_t k = 0; k < run.size(); ++k)
        if (match[k] >= 0)
            knownTimeouts[truth[match[k]].heardUs] = run[k].timeoutMs;

    const auto timeoutOf = [&](std::int64_t heardUs) {
        const auto it = knownTimeouts.find(heardUs);
        return it == knownTimeouts.end() ? fallbackTimeoutMs : it->second;
    };

    // What the library should deliver of a record for the exchange, and whether it is a reply
    // it could take whole, and when it ended for the library. A Modbus frame is all binary or
    // hex: no CR of its own, and its CRC or LRC must hold.
    const auto deliveredOf = [](const TruthRecord& r, const Exchange& e) {
        return e.modbus.empty() ? payloadOf(r.bytes, e.checksum) : modbusReplyOf(r, e.modbus);
    };
    const auto wholeFor = [](const TruthRecord& r, const Exchange& e) {
        return e.modbus.empty() ? whole(r) : modbusReplyOf(r, e.modbus).has_value();
    };
    const auto endFor = [](const TruthRecord& r, const Exchange& e) {
        return e.modbus.empty() ? crEndUs(r) : r.endUs;
    };

    for (std::size_t k = 0; k < run.size(); ++k) {
        const Exchange& e = run[k];
        Judgement& j = out[k];
        j.heard = match[k];
        // The answer was reported before the next command of the run was heard.
        std::int64_t end = e.endUs;
        for (std::size_t n = k + 1; n < run.size(); ++n)
            if (match[n] >= 0) {
                end = std::min(end, truth[match[n]].heardUs);
                break;
            }
        const std::int64_t heardUs = j.heard >= 0 ? truth[j.heard].heardUs : -1;
        // Two commands can be heard in the same instant (a frame held up on its way arrives
        // with the next): the reply is the one to this command.
        if (j.heard >= 0)
            for (std::size_t i = 0; i < truth.size(); ++i)
                if (truth[i].kind == Kind::Reply && truth[i].heardUs == heardUs &&
                    truth[i].command == truth[j.heard].command) {
                    j.reply = static_cast<long>(i);
                    break;
                }
        const TruthRecord* own = j.reply >= 0 ? &truth[j.reply] : nullptr;
        const bool ownInTime = own && wholeFor(*own, e) && endFor(*own, e) <= end &&
                               (!e.checksum || checksumHolds(own->bytes));
        const bool answered = e.status == 0 || (!e.modbus.empty() && e.status == 18);

        if (!answered) {
            const bool lost =
                ownInTime &&
                own->endUs + static_cast<std::int64_t>(params.lostMarginMs) * 1000 <= end;
            j.verdict = lost ? Verdict::Lost : Verdict::Failed;
            if (lost)
                j.why = "its own reply had ended " + std::to_string((end - own->endUs) / 1000) +
                        " ms before the answer";
            continue;
        }
        if (ownInTime && deliveredOf(*own, e) == e.reply) {
            j.verdict = Verdict::Right;
            continue;
        }
        // Answers no rule can tell from the right one: a second copy of a reply, or a reply
        // that came so late that its own command had long been given up.
        const std::int64_t before = heardUs >= 0 ? heardUs : e.startUs;
        for (std::size_t i = 0; i < truth.size() && j.excuse < 0; ++i) {
            const TruthRecord& r = truth[i];
            if (!wholeFor(r, e) || endFor(r, e) > end || deliveredOf(r, e) != e.reply)
                continue;
            if (r.kind == Kind::Duplicate) {
                j.excuse = static_cast<long>(i);
                j.why = "a duplicate of the reply to " + r.command;
            } else if (r.kind == Kind::Reply && r.heardUs < before &&
                       r.startUs - r.heardUs >
                           (static_cast<std::int64_t>(timeoutOf(r.heardUs)) + params.lateWindowMs) *
                               1000) {
                j.excuse = static_cast<long>(i);
                j.why = "the reply to an earlier " + r.command + ", " +
                        std::to_string((r.startUs - r.heardUs) / 1000) + " ms late";
            }
        }
        // A duplicate taken for an earlier command of the run leaves that command's own reply
        // to come later, where it is taken for the next one: no rule can tell that either.
        for (std::size_t p = 0; p < k && j.excuse < 0; ++p) {
            const Judgement& earlier = out[p];
            if (earlier.verdict != Verdict::Excused || earlier.reply < 0)
                continue;
            const TruthRecord& r = truth[earlier.reply];
            if (wholeFor(r, e) && r.endUs <= end && deliveredOf(r, e) == e.reply) {
                j.excuse = earlier.reply;
                j.why = "the reply to an earlier " + r.command + ", whose answer a duplicate took";
            }
        }
        if (j.excuse >= 0) {
            j.verdict = Verdict::Excused;
            continue;
        }
        j.verdict = Verdict::Wrong;
        if (j.heard < 0)
            j.why = "no command of the run was heard in its time";
        else if (!own)
            j.why = "the command got no reply";
        else if (!wholeFor(*own, e))
            j.why = e.modbus.empty() ? "its reply was cut" : "its reply was cut or fails its check";
        else if (own->endUs > end)
            j.why = "its reply ended " + std::to_string((own->endUs - end) / 1000) +
                    " ms after the answer was reported";
        else if (e.checksum && !checksumHolds(own->bytes))
            j.why = "its reply's checksum does not hold";
        else
            j.why = "the answer is not its reply";
    }
    return out;
}

std::vector<std::string> nearbyTruth(const std::vector<TruthRecord>& truth,
                                     const Exchange& exchange, std::size_t most) {
    // The records in time order, centred on the exchange's start.
    std::vector<std::pair<std::int64_t, const TruthRecord*>> timed;
    for (const TruthRecord& r : truth)
        timed.emplace_back(r.kind == Kind::Heard ? r.heardUs : r.startUs, &r);
    std::stable_sort(timed.begin(), timed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t at = 0;
    while (at < timed.size() && timed[at].first < exchange.startUs)
        ++at;
    std::size_t end = at;
    while (end < timed.size() && timed[end].first <= exchange.endUs + 50000 && end - at < most / 2)
        ++end;
    const std::size_t begin = at - std::min(at, most - (end - at));
    std::vector<std::string> lines;
    for (std::size_t i = begin; i < end; ++i)
        lines.push_back((i == at ? "> " : "  ") + timed[i].second->line);
    return lines;
}

std::vector<Module> scanWrongs(const std::vector<Module>& listed,
                               const std::vector<Module>& configured) {
    std::vector<Module> wrongs;
    for (const Module& m : listed)
        if (std::find(configured.begin(), configured.end(), m) == configured.end())
            wrongs.push_back(m);
    return wrongs;
}

std::string soakInconsistency(long sent, long answered, long count,
                              const std::vector<TruthRecord>& truth, std::int64_t startUs,
                              std::int64_t endUs) {
    long replies = 0;
    for (const TruthRecord& r : truth)
        if ((r.kind == Kind::Reply || r.kind == Kind::Duplicate) && whole(r) &&
            r.startUs >= startUs && r.endUs <= endUs)
            ++replies;
    if (sent != count)
        return "sent " + std::to_string(sent) + " of " + std::to_string(count) + " commands";
    if (answered > sent)
        return "answered " + std::to_string(answered) + " of " + std::to_string(sent) + " sent";
    // The last reply's record comes once its last byte is out: with a CR LF or LF CR ending
    // that byte may still wait on the line when the soak ends, so one reply may be unrecorded.
    if (answered > replies + 1)
        return "answered " + std::to_string(answered) + " but the line carried " +
               std::to_string(replies) + " whole replies";
    return "";
}

namespace {

// The payloads of the whole replies (duplicates included) the slaves sent to a frame heard,
// within [startUs, endUs] when given.
std::vector<std::string> modbusRepliesTo(const std::vector<TruthRecord>& truth,
                                         const std::string& mode, const std::string& heard,
                                         std::int64_t startUs, std::int64_t endUs) {
    std::vector<std::string> out;
    for (const TruthRecord& r : truth) {
        if ((r.kind != Kind::Reply && r.kind != Kind::Duplicate) || r.command != heard ||
            r.startUs < startUs || r.endUs > endUs)
            continue;
        if (std::optional<std::string> payload = modbusReplyOf(r, mode))
            out.push_back(std::move(*payload));
    }
    return out;
}

std::string framingText(unsigned baud, const std::string& parity, unsigned stopBits) {
    return std::to_string(baud) + " baud, parity " + parity + ", " + std::to_string(stopBits) +
           " stop bit" + (stopBits == 1 ? "" : "s");
}

} // namespace

std::vector<std::string> modbusScanWrongs(const std::vector<ModbusListing>& listed,
                                          const ModbusLine& line,
                                          const std::vector<TruthRecord>& truth) {
    std::vector<std::string> wrongs;
    std::vector<unsigned> seen;
    for (const ModbusListing& m : listed) {
        std::string why;
        const std::string request{static_cast<char>(m.id), 3, 0, 0, 0, 1};
        const std::vector<std::string> replies = modbusRepliesTo(
            truth, line.mode, modbusHeardFrame(line.mode, request),
            std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max());
        const bool exceptional = m.reply.size() >= 2 && (m.reply[1] & 0x80) != 0;
        if (std::find(line.ids.begin(), line.ids.end(), m.id) == line.ids.end())
            why = "no slave on the line has id " + std::to_string(m.id);
        else if (std::find(seen.begin(), seen.end(), m.id) != seen.end())
            why = "id " + std::to_string(m.id) + " listed twice";
        else if (m.baud != line.baud || m.parity != line.parity || m.stopBits != line.stopBits)
            why = "listed at " + framingText(m.baud, m.parity, m.stopBits) + "; the line is at " +
                  framingText(line.baud, line.parity, line.stopBits);
        else if (std::find(replies.begin(), replies.end(), m.reply) == replies.end())
            why = "slave " + std::to_string(m.id) + " sent no such reply to the scan's request";
        else if (exceptional != m.exception.has_value() ||
                 (exceptional &&
                  (m.reply.size() != 3 || static_cast<unsigned char>(m.reply[2]) != *m.exception)))
            why = m.exception ? "exception " + std::to_string(*m.exception) +
                                    " listed with a reply that does not carry it"
                              : "a reply with an exception listed without it";
        seen.push_back(m.id);
        wrongs.push_back(why);
    }
    return wrongs;
}

std::string modbusSoakInconsistency(const SoakTotals& t, long count, const std::string& mode,
                                    const std::string& heard,
                                    const std::optional<std::string>& expect,
                                    const std::vector<TruthRecord>& truth, std::int64_t startUs,
                                    std::int64_t endUs) {
    const std::vector<std::string> replies = modbusRepliesTo(truth, mode, heard, startUs, endUs);
    const long carried = static_cast<long>(replies.size());
    const long taken = t.answered + t.unexpected;
    if (t.sent != count)
        return "sent " + std::to_string(t.sent) + " of " + std::to_string(count) + " requests";
    if (taken + t.timeouts + t.checksumErrors + t.otherErrors != t.sent)
        return "the outcomes do not add up to the " + std::to_string(t.sent) + " sent";
    if (taken > carried)
        return std::to_string(taken) + " replies taken but the line carried " +
               std::to_string(carried) + " whole replies to the request";
    if (replies.empty() || std::any_of(replies.begin(), replies.end(),
                                       [&](const std::string& r) { return r != replies.front(); }))
        return "";
    // The slave's reply, every time: whether it is the one wanted decides where it counts.
    const std::string& reply = replies.front();
    const bool wanted = expect ? *expect == reply : !(reply.size() >= 2 && (reply[1] & 0x80) != 0);
    if (wanted && t.unexpected > 0)
        return std::to_string(t.unexpected) + " unexpected, though the slave only ever sent " +
               portula::hexBytes(reply) + ", the reply wanted";
    if (!wanted && t.answered > 0)
        return std::to_string(t.answered) + " answered as wanted, though the slave only ever " +
               "sent " + portula::hexBytes(reply) + ", which is not";
    return "";
}

} // namespace campaign
