#pragma once
// The line between the modules and the terminal: what comes back for the bytes the terminal
// sends, and when each byte reaches it. The caller passes the time in, so the timing (delays,
// the wire's own pace, an adapter's batches, flushes) can be checked without waiting for it.

#include "rules/Modbus.h"
#include "sim/Module.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct LineConfig {
    unsigned delayMs = 0;         // every reply starts this long after its command
    bool echo = false;            // the terminal's own bytes come back, as on a 2-wire line
    unsigned garbleEchoEvery = 0; // with echo: the Nth, 2Nth... command's echo has a byte changed
    unsigned echoSkip = 0;        // with echo: each command's echo lacks its first N bytes
    bool doubleEcho = false;      // with echo: each command's echo comes back twice
    unsigned noiseEvery = 0;      // after the Nth, 2Nth... command heard, a burst of noise
    unsigned noiseBytes = 4;      // bytes in a burst
    std::uint32_t seed = 1;       // what the noise is drawn from
    unsigned batchMs = 0;         // bytes reach the terminal on ticks N ms apart; 0: at once
    bool wirePace = false;        // each byte takes its time on the wire at baud and stopBits
    std::uint32_t baud = 9600;
    int stopBits = 1;
    bool parity = false;      // every character carries a parity bit (the pace, the RTU silence)
    bool keepReplies = false; // the terminal's flushes leave what is on its way alone
    bool truth = false;       // keep a TruthRecord of everything heard and given to the terminal
};

enum class TruthKind { Heard, Reply, Duplicate, Echo, Noise };

// One command line the modules heard, or one thing the line gave the terminal, as it happened.
struct TruthRecord {
    using Time = std::chrono::steady_clock::time_point;
    TruthKind kind = TruthKind::Heard;
    std::string command;    // the line heard (CR left out); for a reply or an echo, its command
    Time heard{};           // when that line's CR came in (heard, reply, duplicate)
    bool understood = true; // heard: the modules could make the line out
    std::string bytes;      // what the terminal was given of it
    Time start{};           // when its first byte was given to the terminal
    Time end{};             // and its last
    bool cut = false;       // a flush dropped the rest of it
    std::optional<portula::ModbusMode> modbus{}; // on a line of Modbus slaves: their mode
    bool operator==(const TruthRecord&) const = default;
};

class Line {
  public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    // More than any module could have to say while the terminal is not reading; past this the
    // replies are lost, as they would be on a real line nobody listens to.
    static constexpr std::size_t kMaxHeldBytes = 64 * 1024;

    Line(Module module, LineConfig config);

    // Bytes the terminal sent, taken in at `now`. When the modules cannot make them out
    // (heard false: other line settings, no module routed) they drop a partial command and
    // answer nothing; the echo of a 2-wire line returns the bytes all the same.
    void receive(std::string_view bytes, Time now, bool heard = true);
    // The terminal discarded its input or output, as it does at each open and before each
    // command. Drops everything on its way and the modules' partial command, unless replies are
    // kept; returns the number of bytes dropped.
    std::size_t flush();
    // Moves on to `now`: bytes go onto the wire when their time comes and reach the terminal
    // when they are through it and the adapter hands them on. `now` never goes back.
    void advance(Time now);
    // What the terminal can be given, oldest first; consume() what it took, at `now` (by
    // default the time of the last advance()).
    std::string_view ready() const { return m_ready; }
    void consume(std::size_t count) { consume(count, m_now); }
    void consume(std::size_t count, Time now);
    // When advance() next has something to do, besides what is ready; nullopt for never.
    std::optional<Time> nextEvent() const;
    // Bytes on their way or ready.
    std::size_t heldBytes() const { return m_heldBytes; }
    // The time one byte takes on the wire; zero unless the wire is paced.
    std::chrono::nanoseconds byteTime() const { return m_byteTime; }
    // The silence that ends a Modbus RTU frame at the line's rate and character.
    std::chrono::microseconds frameSilence() const { return m_silence; }
    // With truth on: the records completed since the last call, in the order they completed.
    // A reply, an echo or noise is complete once its last byte was consumed, or cut by a flush.
    std::vector<TruthRecord> takeTruth();

    Module& module() { return m_module; }

  private:
    using RecordId = std::uint64_t;
    struct Outgoing {
        std::string bytes; // never empty
        Time due;          // when its first byte may go onto the wire
        RecordId record = 0;
        std::optional<unsigned> duplicateMs{}; // then sent again, as record `copy`
        RecordId copy = 0;
    };
    struct Arriving {
        char byte;
        Time at; // when its last bit is through the wire
        RecordId record;
    };
    struct ReadyRun {
        RecordId record;
        std::size_t count;
    };
    // A record whose bytes are on their way; open while more may join it (an echo before its
    // command's CR).
    struct Pending {
        TruthRecord record;
        std::size_t expected = 0;
        bool open = false;
    };

    // Each command's (or frame's) echo: its bytes as they come, then its end.
    void queueEcho(std::string_view segment, Time now);
    void endEcho(Time now, const std::string& command);
    // Modbus slaves hear frames: RTU ones end with the line's silence, ASCII ones with LF.
    void receiveModbus(std::string_view bytes, Time now, bool heard);
    void endFrame(Time at);
    // The line's own signals (echo, noise) go on the wire as they happen, ahead of anything due
    // later (a late reply included), behind what is due already.
    void queueSignal(Outgoing chunk);
    // The modules answer in turn: a late reply holds back those after it.
    void queueAnswer(Outgoing chunk);
    std::string noise();
    Time handedOn(Time arrived) const;

    RecordId newRecord(TruthKind kind, std::string command, Time heard, bool open = false);
    void expect(RecordId id, std::size_t bytes);
    void close(RecordId id, const std::string& command);
    void finishIfDone(RecordId id);

    Module m_module;
    LineConfig m_config;
    std::chrono::nanoseconds m_byteTime{0};
    std::chrono::microseconds m_silence{0};
    std::optional<Time> m_frameEnds; // when the silence after the RTU frame begun will end it
    std::deque<Outgoing> m_queue;    // ordered by due: the wire takes them one after the other
    std::size_t m_sentOfFront = 0;
    Time m_wireFree{};   // when the byte on the wire is through
    Time m_now{};        // the latest time given
    Time m_answersDue{}; // when the last reply queued may start
    std::deque<Arriving> m_arriving;
    std::string m_ready;
    std::deque<ReadyRun> m_readyRuns; // whose bytes m_ready holds, in order
    std::size_t m_heldBytes = 0;
    unsigned long m_echoedLines = 0; // CRs the echo has returned
    bool m_garbledThisLine = false;
    std::size_t m_echoedOfLine = 0; // bytes of the current command the echo has seen
    std::string m_echoOfLine;       // what came back of it, for a second copy
    RecordId m_echoRecord = 0;      // the echo of the current command
    std::string m_lineText;         // the current command or frame, as the modules heard it
    bool m_lineUnderstood = true;
    unsigned long m_heardLines = 0; // commands the modules heard, for the noise
    std::mt19937 m_random;

    RecordId m_nextRecord = 1;
    std::map<RecordId, Pending> m_pending;
    std::vector<TruthRecord> m_truth;
};

} // namespace sim
