#pragma once
// Judges the answers Portula reported against what the simulator says happened on the line.
// Pure: the truth records and the exchanges go in, a verdict for each exchange comes out.

#include "campaign/Truth.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace campaign {

// One command as a driver ran it and what Portula reported for it.
struct Exchange {
    std::string driver;
    std::string command;   // as given, without checksum or CR
    bool checksum = false; // the frame carried a checksum, and so must the reply
    unsigned status = 0;
    std::string reply;
    std::int64_t startUs = 0; // steady clock: before the command could go out
    std::int64_t endUs = 0;   // after its answer was reported
    std::size_t index = 0;    // within its run
    unsigned timeoutMs = 0;
    // On a line of Modbus slaves, "rtu" or "ascii": command is the request's frame as the
    // slaves hear it (an ASCII one without its CR LF), reply the reply's bytes without CRC or
    // LRC; a slave's exception (status 18) is an answer, judged as one with status 0.
    std::string modbus;
};

struct OracleParams {
    // How long after its command's time-out a late reply may still come and has to be told
    // apart by the library; past it, no rule can tell it from the next command's reply.
    unsigned lateWindowMs = 500;
    // A reply that ended this long before the answer was reported should have been taken.
    unsigned lostMarginMs = 20;
};

enum class Verdict {
    Right,   // status 0 and the command's own reply
    Wrong,   // status 0 and anything else
    Excused, // status 0 with a reply no rule can tell from the right one
    Lost,    // a failure although the command's own reply had come in time
    Failed,  // a failure with no reply in time to take
};

const char* verdictName(Verdict verdict);

struct Judgement {
    Verdict verdict = Verdict::Failed;
    long heard = -1;  // index of the matched heard record in the truth, -1 for none
    long reply = -1;  // index of the command's own reply record
    long excuse = -1; // index of the record that excuses the answer
    std::string why;  // for a report
};

// The payload of reply bytes as the library should deliver it: the line ending (CR, LF, in
// any order) removed and, with a checksum, its two hex digits too. nullopt when a checksum is
// expected and the bytes are too short to carry one.
std::optional<std::string> payloadOf(const std::string& bytes, bool checksum);
// Whether bytes (ending removed) end in the two hex digits of the sum of the bytes before them.
bool checksumHolds(const std::string& bytes);
// The command as it goes on the line, without the CR.
std::string framed(const std::string& command, bool checksum);
// A Modbus reply record's bytes as the library should deliver them: what its CRC or LRC
// covers; nullopt when the record is not of that mode or its check fails.
std::optional<std::string> modbusReplyOf(const TruthRecord& record, const std::string& mode);
// A request's frame as the slaves hear it, in mode "rtu" or "ascii": RTU with its CRC, ASCII
// with its LRC and without its CR LF.
std::string modbusHeardFrame(const std::string& mode, const std::string& request);

// Judges one driver run: the exchanges of one open port or one process, in the order they
// were sent. truth: everything the simulator recorded since it started. knownTimeouts: the
// time-out of each command heard (by its heard_us) that an earlier run matched; this run adds
// its own. fallbackTimeoutMs: for commands no run matched.
std::vector<Judgement> judgeRun(const std::vector<TruthRecord>& truth,
                                const std::vector<Exchange>& run, const OracleParams& params,
                                std::map<std::int64_t, unsigned>& knownTimeouts,
                                unsigned fallbackTimeoutMs);

// Truth lines around an exchange, for a report.
std::vector<std::string> nearbyTruth(const std::vector<TruthRecord>& truth,
                                     const Exchange& exchange, std::size_t most = 40);

// A module a scan listed, and one the simulator was started with.
struct Module {
    std::string address;
    unsigned baud = 0;
    bool checksum = false;
    std::string name;
    bool operator==(const Module&) const = default;
};

// The listed modules that are not on the line as listed; empty when the scan is right.
std::vector<Module> scanWrongs(const std::vector<Module>& listed,
                               const std::vector<Module>& configured);

// A soak's totals against the truth: an empty text when consistent, else why not.
std::string soakInconsistency(long sent, long answered, long count,
                              const std::vector<TruthRecord>& truth, std::int64_t startUs,
                              std::int64_t endUs);

// A slave a Modbus scan listed, and the line its slaves are on.
struct ModbusListing {
    unsigned id = 0;
    unsigned baud = 0;
    std::string parity;
    unsigned stopBits = 0;
    std::string reply; // its bytes, without CRC or LRC
    std::optional<unsigned> exception;
};
struct ModbusLine {
    std::string mode; // "rtu" or "ascii"
    std::vector<unsigned> ids;
    unsigned baud = 9600;
    std::string parity = "none";
    unsigned stopBits = 1;
};

// For each listed slave, why it is wrong as listed (not on the line, listed twice, at a framing
// the line does not have, a reply that slave never sent to the scan's request, an exception
// its reply does not carry); an empty text for one listed right.
std::vector<std::string> modbusScanWrongs(const std::vector<ModbusListing>& listed,
                                          const ModbusLine& line,
                                          const std::vector<TruthRecord>& truth);

// What a soak prints, counted per outcome.
struct SoakTotals {
    long sent = 0, answered = 0, unexpected = 0, timeouts = 0, checksumErrors = 0, otherErrors = 0;
};

// A Modbus soak's totals against the truth. heard: its request's frame as the slaves hear it;
// expect: the reply --expect gave, if any. Every reply to one repeated request is the same, so
// every frame the soak took must be it: all answered (it was the one wanted) or all unexpected,
// and no more of them than the line carried. An empty text when consistent, else why not.
std::string modbusSoakInconsistency(const SoakTotals& totals, long count, const std::string& mode,
                                    const std::string& heard,
                                    const std::optional<std::string>& expect,
                                    const std::vector<TruthRecord>& truth, std::int64_t startUs,
                                    std::int64_t endUs);

} // namespace campaign
