// Frame composition against a reference written separately from it: every mode, any text, any
// suffix. The output buffer is exactly the send buffer's size on the heap, so a write past it is
// caught by the address sanitizer.
//
// Input: byte 0 picks the mode, byte 1 the suffix length, byte 2 a run of filler put before the
// text (with its top bit set, 1000 to 1063 bytes: the buffer's limit is reached from short
// inputs); the suffix follows, the text is the rest.

#include "core/TerminalState.h"
#include "messaging/FrameBuilder.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

bool isCSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digitValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// What strtol(s, nullptr, 16) gives for a string of at most two characters, worked out by
// hand: blanks, then a sign, then digits ("0x" can't be followed by a digit in two characters).
std::uint8_t referencePair(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && isCSpace(static_cast<unsigned char>(s[i])))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    long value = 0;
    while (i < s.size() && digitValue(static_cast<unsigned char>(s[i])) >= 0)
        value = value * 16 + digitValue(static_cast<unsigned char>(s[i++]));
    return static_cast<std::uint8_t>((negative ? -value : value) & 0xFF);
}

std::string referenceEnding(SendMode mode, std::string_view suffix) {
    switch (mode) {
    case SEND_LF:
        return "\n";
    case SEND_LF_CR:
        return "\n\r";
    case SEND_CR_LF:
        return "\r\n";
    case SEND_DEF: {
        std::string out;
        for (std::size_t i = 0; i < suffix.size(); i += 2) {
            // A pair ends at the string's end: a lone last digit stands alone.
            const std::size_t n = i + 1 < suffix.size() ? 2 : 1;
            std::string pair(suffix.substr(i, n));
            // strtol stops at a zero byte.
            pair = pair.substr(0, pair.find('\0'));
            out.push_back(static_cast<char>(referencePair(pair)));
        }
        return out;
    }
    case SEND_NONE:
    case SEND_CR:
        break;
    }
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const auto mode = static_cast<SendMode>(data[0] % 6);
    const std::size_t filler = (data[2] & 0x80) ? 1000 + (data[2] & 0x3F) : 0;
    data += 3;
    size -= 3;
    const std::size_t suffixLength = std::min<std::size_t>(data[-2], size);
    const std::string_view suffix(reinterpret_cast<const char*>(data), suffixLength);
    const std::string textBytes =
        std::string(filler, 'f') +
        std::string(reinterpret_cast<const char*>(data + suffixLength), size - suffixLength);
    const std::string_view text(textBytes);

    auto buffer = std::make_unique<char[]>(kSendBufferSize);
    std::fill_n(buffer.get(), kSendBufferSize, '\0');
    const auto result =
        messaging::composeFrame(text, mode, suffix, std::span<char>(buffer.get(), kSendBufferSize));

    if (mode == SEND_DEF && suffix.size() > messaging::kSuffixWorkBufferSize) {
        if (result.status != messaging::FrameStatus::SuffixTooLong)
            std::abort();
        return 0;
    }
    const std::string expected = std::string(text) + referenceEnding(mode, suffix);
    if (expected.size() + 1 > kSendBufferSize) {
        if (result.status != messaging::FrameStatus::TextTooLong ||
            result.required != expected.size() + 1)
            std::abort();
        for (std::size_t i = 0; i < kSendBufferSize; ++i)
            if (buffer[i] != '\0')
                std::abort(); // a refused frame writes nothing
        return 0;
    }
    if (result.status != messaging::FrameStatus::Ok || result.count != expected.size())
        std::abort();
    if (std::string_view(buffer.get(), result.count) != expected || buffer[result.count] != '\0')
        std::abort();
    return 0;
}
