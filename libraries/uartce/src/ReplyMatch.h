#pragma once
// Which bytes after a command are its reply: a pure state machine over what arrives.
//
// On a line that returns what the terminal sends (a 2-wire RS-485 adapter whose receiver stays
// on), the command comes back first: bytes that repeat the frame exactly from the first byte on
// are its echo and dropped. For an addressed command, bytes that begin like the frame and then
// differ from it, or a first line of the frame's length that differs from it in a byte or so,
// are an echo garbled on the line (two senders at once), and no reply. On an addressed command
// ($AA, #AA, %AA, @AA, ~AA) a reply that carries an address (!AA, ?AA) from another module is not
// the answer: it is dropped and the collection goes on. A reply without an address (>...) is taken.
// A reply to an addressed command has a reply's form (!AA or ?AA for $, % and ~; > or ?AA for
// the readings # and @): any other line (the echo again, the echo without its first bytes, bytes
// of line noise, another command's kind of answer) is no answer, and dropped.
// A CR LF or LF CR ending belongs to the reply it ends: an LF at the start of a line is the end
// of the line before it, and an LF right before the CR is not part of the reply.

#include "rules/Replies.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace uartce {

enum class DropReason { Echo, GarbledEcho, OtherAddress, Late, NotAReply };

// "echo", "garbled echo", "other address", "late", "not a reply".
const char* dropReasonText(DropReason reason);

struct DroppedBytes {
    std::string bytes;
    DropReason reason;
};

using portula::commandAddress;
using portula::hasReplyForm;
using portula::replyAddress;
using portula::replyNamesModule;
using portula::sameAddress;

class ReplyMatcher {
  public:
    enum class State { Collecting, Done, GarbledEcho };

    // frame: the bytes as written, CR included; address: the command's, if it has one;
    // maxReply: the longest reply kept (the rest is counted as overflow); terminator: the byte
    // that ends a reply (kept out of it), or -1 for none (the matcher then only sorts out the
    // echo, and never reaches Done by itself).
    ReplyMatcher(std::string_view frame, std::optional<std::string> address, std::size_t maxReply,
                 int terminator = '\r');

    // Takes bytes in order until the reply ends; returns how many it took (the rest came after
    // the reply's CR). Call while state() is Collecting.
    std::size_t feed(std::string_view bytes);

    State state() const { return m_state; }
    // The reply without its CR, as far as it came (cut at maxReply).
    const std::string& reply() const { return m_reply; }
    bool overflow() const { return m_overflow; }
    // For a garbled echo: whether its line's end (the terminator) has come already.
    bool garbledLineEnded() const { return m_garbledLineEnded; }
    // Whether any byte of a reply (not of an echo) has come.
    bool replyBegun() const { return m_begun; }
    // Lines set aside so far that were no reply (another echo, another module's, noise): each
    // took the line's time, as the reply's first byte waited behind it.
    std::size_t linesSetAside() const { return m_linesSetAside; }
    // Bytes that came but were no reply, in order; taken once.
    std::vector<DroppedBytes> takeDropped();

  private:
    void byte(char c);
    bool skipAtLineStart(char c);
    void lineEnded();
    bool looksLikeGarbledEcho() const;

    std::string m_frame;
    std::optional<std::string> m_address;
    std::size_t m_maxReply;
    int m_terminator;
    std::size_t m_echoAt = 0; // bytes of the echo matched so far
    bool m_echoPossible = true;
    bool m_echoSeen = false;
    bool m_garbledLineEnded = false;
    bool m_pushedBack = false; // the byte under way was not taken: the reply ended before it
    bool m_firstLine = true;
    State m_state = State::Collecting;
    std::string m_reply;
    std::string m_raw; // the reply's bytes as they came, for a drop
    bool m_overflow = false;
    bool m_begun = false;
    std::size_t m_linesSetAside = 0;
    std::string m_skipped; // LFs and noise at a line's start, dropped once the line goes on
    std::vector<DroppedBytes> m_dropped;
};

} // namespace uartce
