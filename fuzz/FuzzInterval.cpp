// The interval field's parser against a reference: blanks around, decimal digits only, and a
// value that fits 32 bits.

#include "framework/DataExchange.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = fw::parseUnsigned(text);

    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    const std::string_view core =
        first == std::string_view::npos ? std::string_view() : text.substr(first, last - first + 1);
    bool expectValue =
        !core.empty() && core.find_first_not_of("0123456789") == std::string_view::npos;
    unsigned long long expected = 0;
    if (expectValue) {
        // Leading zeros don't count toward the size; more than ten digits left can't fit.
        const std::size_t nonZero = core.find_first_not_of('0');
        const std::string_view digits =
            nonZero == std::string_view::npos ? std::string_view("0") : core.substr(nonZero);
        expectValue =
            digits.size() <= 10 && (expected = std::stoull(std::string(digits))) <= 0xFFFFFFFFull;
    }
    if (parsed.has_value() != expectValue || (expectValue && *parsed != expected))
        std::abort();
    return 0;
}
