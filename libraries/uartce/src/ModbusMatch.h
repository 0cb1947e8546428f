#pragma once
// Which frame after a Modbus request is its reply: a pure state machine over what arrives and
// over the line's silences.
//
// Frames: an RTU frame ends when its length is known and has come (from its function and byte
// count, see portula::rtuReplyLength), or when the line has been quiet for 3.5 characters
// (silence()); an ASCII frame runs from ':' to CR LF, and a ':' starts a new one.
// A frame that repeats the request is the line's echo of it (a 2-wire RS-485 line returns what
// it sends, twice with two converters) and dropped, unless the function's reply may repeat the
// request (5, 6, 8): then only a first frame on a line known to echo is the echo, and any other
// such frame the reply. Where it is not known whether the line echoes, a first frame that
// repeats such a request is held: a second copy makes it the echo and the copy the reply; when
// none comes before the time-out, it was the reply (settleHeld()).
// A first frame that fails its check, has the request's length and differs from it in one or two
// bytes is the echo garbled by a second sender: no reply is taken.
// A frame that passes its check is the answer when it carries the request's slave address and
// function, or that function with 0x80 set (an exception); one from another slave, or with
// another function, is dropped and the wait goes on. A frame that fails its check ends the wait:
// nothing it says can be trusted, its address included.

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

    // request: the frame as it went on the line, CRC or LRC included; lineEchoes: the line is
    // known to return what it sends; maxReply: the most reply bytes the caller can take.
    ModbusMatcher(portula::ModbusMode mode, std::string request, bool lineEchoes,
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
    // reply, or could be and gives no length. The start of the reply from the request's slave
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
    // What the first frame said of the line: true when it was the echo, false when it was a
    // frame of another kind that passed its check, none when it told nothing.
    std::optional<bool> lineEchoed() const { return m_lineEchoed; }
    std::vector<DroppedBytes> takeDropped();
    std::vector<std::string> takeFrames();
    // Nothing is known yet of whether the line returns what it sends.
    void echoUnknown() { m_echoUnknown = true; }
    // The time-out came: a frame held as echo or reply was the reply. False when none was held.
    bool settleHeld();

  private:
    void byte(char c);
    void rtuByte(char c);
    void asciiByte(char c);
    bool rtuFrameEnds() const;
    bool echoCandidate() const;
    void endFrame(bool bySilence);
    void judge(std::string frame, bool first, bool bySilence);
    bool garbledEcho(std::string_view frame) const;
    void drop(std::string bytes, DropReason reason);

    portula::ModbusMode m_mode;
    bool m_listenOnly = false;
    std::string m_request;
    std::uint8_t m_slave = 0;
    std::uint8_t m_function = 0;
    bool m_lineEchoes = false;
    bool m_echoUnknown = false;
    std::string m_held; // a first frame that repeats the request: the echo, or the reply
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
    std::optional<bool> m_lineEchoed;
    std::string m_noise; // bytes before an ASCII frame's ':'
    std::vector<DroppedBytes> m_dropped;
    std::vector<std::string> m_frames;
};

} // namespace uartce
