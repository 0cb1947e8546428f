#pragma once
// The line between the modules and the terminal: what comes back for the bytes the terminal
// sends, and when each byte reaches it. The caller passes the time in, so the timing (delays,
// the wire's own pace, an adapter's batches, flushes) can be checked without waiting for it.

#include "sim/Module.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct LineConfig {
    unsigned delayMs = 0;         // every reply starts this long after its command
    bool echo = false;            // the terminal's own bytes come back, as on a 2-wire line
    unsigned garbleEchoEvery = 0; // with echo: the Nth, 2Nth... command's echo has a byte changed
    unsigned batchMs = 0;         // bytes reach the terminal on ticks N ms apart; 0: at once
    bool wirePace = false;        // each byte takes its time on the wire at baud and stopBits
    std::uint32_t baud = 9600;
    int stopBits = 1;
    bool keepReplies = false; // the terminal's flushes leave what is on its way alone
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
    // What the terminal can be given, oldest first; consume() what it took.
    std::string_view ready() const { return m_ready; }
    void consume(std::size_t count);
    // When advance() next has something to do, besides what is ready; nullopt for never.
    std::optional<Time> nextEvent() const;
    // Bytes on their way or ready.
    std::size_t heldBytes() const { return m_heldBytes; }
    // The time one byte takes on the wire; zero unless the wire is paced.
    std::chrono::nanoseconds byteTime() const { return m_byteTime; }

    Module& module() { return m_module; }

  private:
    struct Outgoing {
        std::string bytes;
        Time due; // when its first byte may go onto the wire
    };
    struct Arriving {
        char byte;
        Time at; // when its last bit is through the wire
    };

    void queueEcho(std::string_view bytes, Time now);
    Time handedOn(Time arrived) const;

    Module m_module;
    LineConfig m_config;
    std::chrono::nanoseconds m_byteTime{0};
    std::deque<Outgoing> m_queue; // ordered by due: the wire takes them one after the other
    std::size_t m_sentOfFront = 0;
    Time m_wireFree{}; // when the byte on the wire is through
    std::deque<Arriving> m_arriving;
    std::string m_ready;
    std::size_t m_heldBytes = 0;
    unsigned long m_echoedLines = 0; // CRs the echo has returned
    bool m_garbledThisLine = false;
};

} // namespace sim
