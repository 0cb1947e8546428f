#pragma once
// Which frame after a Modbus request is its reply: a pure state machine over what arrives and
// over the line's silences.
//
// Frames: an RTU frame ends when its length is known and has come (from its function and byte
// count, see portula::rtuReplyLength), or when the line has been quiet for 3.5 characters
// (silence()); an ASCII frame runs from ':' to CR LF, and a ':' starts a new one.
// A frame that repeats the request is the line's echo of it (a 2-wire RS-485 line returns what
// it sends, twice with two converters) and dropped, unless the function's reply may repeat the
// request (5, 6, 8): then the first copies, as many as the line returns, are the echo and the
// next the reply. Where that count is not known, the last copy is held: it is the echo or the
// reply, which nothing that comes later can tell, so no reply is taken (repeatHeld()) unless the
// slave answers otherwise (an exception).
// A first frame that is the end of the request, its start missing (a receiver that turns on
// late), is the echo.
// A first frame that fails its check, has the request's length and differs from it in one or two
// bytes is the echo garbled by a second sender, on a line that may echo: no reply is taken.
// A frame that passes its check is the answer when it carries the request's slave address and
// function, or that function with 0x80 set (an exception), and fits the request (a read's byte
// count, a write's repeat: portula::replyFitsRequest); one from another slave, with another
// function, or for another request of this slave (a late reply) is dropped and the wait goes
// on. A frame that fails its check ends the wait: nothing it says can be trusted, its address
// included.
#include "ReplyMatch.h"
#include "rules/Modbus.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace uartce {

// What a late reply owed by a Modbus request is known by, beside the text commands' addresses:
// the slave and the function ("M0103"), in the form the owed-reply store keeps.
std::string modbusOwedKey(std::uint8_t slave, std::uint8_t function);
// The key of a received frame that passes its check; none for one that does not.
std::optional<std::string> modbusFrameKey(portula::ModbusMode mode, std::string_view frame);

class ModbusMatcher {
  public:
    enum class State { Collecting, Done, BadCheck, GarbledEcho, TooLong };

    // request: the frame as it went on the line, CRC or LRC included; echoCopies: how many
    // copies of each frame the line returns, none when not known; maxReply: the most reply
    // bytes the caller can take.
    ModbusMatcher(portula::ModbusMode mode, std::string request, std::optional<unsigned> echoCopies,
                  std::size_t maxReply);
    // A matcher that only splits what comes into frames, for listening to replies still owed:
    // each whole frame, checked or not, is handed out by takeFrames().
    explicit ModbusMatcher(portula::ModbusMode mode);

    // Takes bytes in order until the reply is settled; returns how many it took (the rest came
    // after it). Call while state() is Collecting.
    std::size_t feed(std::string_view bytes);
    // The line has been quiet for 3.5 characters: an RTU frame under way has ended.
    void silence();

    State state() const { return m_state; }
    // Bytes of a frame have come, and its end has not.
    bool frameUnderWay() const { return !m_frame.empty(); }
    // An RTU frame is under way that the line's silence ends: one that cannot be the awaited
    // reply or the request's echo missing its start, or could be the reply and gives no
    // length. The start of the reply from the request's slave
    // with its function (or its exception) ends by its length alone, or at the time-out: its
    // bytes may come apart on the way (a USB adapter's batches, a serial server, a program that
    // paces a pseudo-terminal), and a pause must not cut it into a frame whose check fails.
    bool silenceEndsFrame() const;
    // Bytes of a frame that is no echo have come (a reply may have begun).
    bool replyBegun() const { return m_replyBegun; }
    // Done: the reply without its CRC or LRC (for ASCII its bytes, decoded); BadCheck: the
    // frame as it came.
    const std::string& reply() const { return m_reply; }
    bool exception() const { return m_exception; }
    // Done with a reply that is not a copy of the request: the copies of it that came first,
    // which is how many the line returns. None otherwise, and where something came ahead of
    // the reply that may have been a copy damaged (bytes outside a frame, an echo's end).
    std::optional<unsigned> echoCopiesSeen() const { return m_copiesSeen; }
    std::vector<DroppedBytes> takeDropped();
    std::vector<std::string> takeFrames();
    // A copy of the request is held that may be its echo or its reply: where the wait ends
    // with it, the exchange cannot tell what came.
    bool repeatHeld() const { return !m_held.empty(); }

  private:
    void byte(char c);
    void rtuByte(char c);
    void asciiByte(char c);
    bool rtuFrameEnds() const;
    bool echoCandidate() const;
    void endFrame(bool bySilence);
    void judge(std::string frame, bool first, bool bySilence);
    bool garbledEcho(std::string_view frame) const;
    bool echoTail(std::string_view frame) const;
    bool tailCandidate() const;
    bool beginsAsReply(std::string_view frame) const;
    bool mayEcho() const { return m_echoCopies != 0u; }
    void drop(std::string bytes, DropReason reason);

    portula::ModbusMode m_mode;
    bool m_listenOnly = false;
    std::string m_request;
    std::uint8_t m_slave = 0;
    std::uint8_t m_function = 0;
    std::string m_requestPayload; // without CRC or LRC
    std::optional<unsigned> m_echoCopies;
    unsigned m_repeats = 0; // copies of the request that came
    std::string m_held;     // the last of them, where it may be the echo or the reply
    std::optional<unsigned> m_copiesSeen;
    bool m_doubtful = false; // something came that may have been a damaged copy of the request
    std::size_t m_maxReply = 0;

    State m_state = State::Collecting;
    std::string m_frame; // the frame under way
    bool m_first = true; // no frame has ended since the request
    bool m_checkingGarble =
        false;             // a first frame failed its check: read on to the request's length
    std::string m_failed;  // that frame
    std::string m_carried; // bytes past a frame's known end, fed again
    bool m_replyBegun = false;
    std::string m_reply;
    bool m_exception = false;
    std::string m_noise; // bytes before an ASCII frame's ':'
    std::vector<DroppedBytes> m_dropped;
    std::vector<std::string> m_frames;
};

} // namespace uartce
