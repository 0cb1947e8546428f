#pragma once
// Composition of outgoing frames: pure functions over bytes.

#include "core/TerminalState.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace messaging {

// The suffix field is converted into a work buffer of this many bytes.
inline constexpr std::size_t kSuffixWorkBufferSize = 100;

enum class FrameStatus {
    Ok,
    TextTooLong,   // text, ending and zero byte would not fit in the buffer
    SuffixTooLong, // the suffix text is longer than its work buffer
};

struct FrameResult {
    FrameStatus status;
    std::size_t count;    // bytes to send; the frame is followed by a zero byte not counted
    std::size_t required; // on TextTooLong: bytes the frame needed with its zero byte
};

// One hexadecimal pair (or a lone last digit, second = '\0'), parsed by strtol in base 16 so that
// odd input ("-1", " A", "G1") gives the byte operators have always got from it; the low 8 bits
// are kept.
std::uint8_t parseHexPair(char first, char second);

// The bytes of a hexadecimal suffix text, pair by pair; an odd last digit stands alone.
std::size_t parseHexSuffix(std::string_view suffix, std::span<std::uint8_t> out);

// Writes text, the mode's ending and a zero byte into out, which must be zeroed beforehand.
// SEND_CR writes the text and its zero byte: the library frames commands. The suffix is read
// only in SEND_DEF. Nothing is written when the result is not Ok.
FrameResult composeFrame(std::string_view text, SendMode mode, std::string_view suffix,
                         std::span<char> out);

} // namespace messaging
