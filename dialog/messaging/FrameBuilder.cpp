#include "messaging/FrameBuilder.h"

#include "rules/Framing.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace messaging {

std::uint8_t parseHexPair(char first, char second) {
    const char pair[3] = {first, second, '\0'};
    return static_cast<std::uint8_t>(std::strtol(pair, nullptr, 16) & 0xFF);
}

std::size_t parseHexSuffix(std::string_view suffix, std::span<std::uint8_t> out) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < suffix.size() && k < out.size(); i += 2, ++k) {
        const char second = i + 1 < suffix.size() ? suffix[i + 1] : '\0';
        out[k] = parseHexPair(suffix[i], second);
    }
    return k;
}

FrameResult composeFrame(std::string_view text, SendMode mode, std::string_view suffix,
                         std::span<char> out) {
    std::array<std::uint8_t, kSuffixWorkBufferSize / 2> suffixBytes{};
    std::string_view ending;
    switch (mode) {
    case SEND_NONE:
    case SEND_CR:
        break;
    case SEND_LF:
        ending = portula::endingBytes(portula::Ending::LF);
        break;
    case SEND_LF_CR:
        ending = portula::endingBytes(portula::Ending::LFCR);
        break;
    case SEND_CR_LF:
        ending = portula::endingBytes(portula::Ending::CRLF);
        break;
    case SEND_DEF:
        if (suffix.size() > kSuffixWorkBufferSize)
            return {FrameStatus::SuffixTooLong, 0, 0};
        ending = std::string_view(reinterpret_cast<const char*>(suffixBytes.data()),
                                  parseHexSuffix(suffix, suffixBytes));
        break;
    }
    const std::size_t endingSize = ending.size();
    const std::size_t required = text.size() + endingSize + 1;
    if (required > out.size())
        return {FrameStatus::TextTooLong, 0, required};
    std::memcpy(out.data(), text.data(), text.size());
    if (endingSize > 0)
        std::memcpy(out.data() + text.size(), ending.data(), endingSize);
    out[text.size() + endingSize] = '\0';
    return {FrameStatus::Ok, text.size() + endingSize, required};
}

} // namespace messaging
