#include "rules/Rates.h"

#include <algorithm>
#include <iterator>

namespace portula {

namespace {

constexpr const char* kParityWords[] = {"none", "odd", "even", "mark", "space"};
constexpr const char* kFlowWords[] = {"none", "rts-cts", "xon-xoff"};

template <std::size_t N>
std::optional<std::uint8_t> codeOf(const char* const (&words)[N], std::string_view word) {
    for (std::size_t i = 0; i < N; ++i)
        if (word == words[i])
            return static_cast<std::uint8_t>(i);
    return std::nullopt;
}

} // namespace

bool isLineRate(std::uint32_t baud) {
    return baud >= kMinRate && baud <= kMaxRate;
}

bool isStandardRate(std::uint32_t baud) {
    return std::binary_search(std::begin(kStandardRates), std::end(kStandardRates), baud);
}

std::string ratesTaken() {
    return "any rate from " + std::to_string(kMinRate) + " to " + std::to_string(kMaxRate) +
           " the device takes";
}

bool rateClose(std::uint32_t asked, std::uint32_t got) {
    const std::uint64_t off = asked > got ? asked - got : got - asked;
    return off * 100 <= std::uint64_t{asked} * kRateTolerancePercent;
}

std::string rateList(std::span<const std::uint32_t> rates, const char* separator) {
    std::string text;
    for (const std::uint32_t rate : rates) {
        if (!text.empty())
            text += separator;
        text += std::to_string(rate);
    }
    return text;
}

const char* parityWord(unsigned code) {
    return code < std::size(kParityWords) ? kParityWords[code] : nullptr;
}

std::optional<std::uint8_t> parseParity(std::string_view word) {
    return codeOf(kParityWords, word);
}

const char* flowWord(unsigned code) {
    return code < std::size(kFlowWords) ? kFlowWords[code] : nullptr;
}

std::optional<std::uint8_t> parseFlow(std::string_view word) {
    return codeOf(kFlowWords, word);
}

} // namespace portula
