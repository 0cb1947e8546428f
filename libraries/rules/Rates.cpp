#include "rules/Rates.h"

#include <algorithm>
#include <iterator>

namespace portula {

bool isLineRate(std::uint32_t baud) {
    return std::find(std::begin(kLineRates), std::end(kLineRates), baud) != std::end(kLineRates);
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

} // namespace portula
