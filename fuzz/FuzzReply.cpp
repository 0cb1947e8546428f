// Command framing and the reply checksum against a reference: any bytes as a command (with and
// without checksum), and the same bytes read as a reply.

#include "rules/Framing.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

unsigned referenceSum(std::string_view s) {
    unsigned sum = 0;
    for (unsigned char c : s)
        sum = (sum + c) % 256;
    return sum;
}

int hexDigit(char c) {
    const std::string_view digits = "0123456789ABCDEF";
    const std::string_view lower = "0123456789abcdef";
    if (const auto at = digits.find(c); at != std::string_view::npos)
        return static_cast<int>(at);
    if (const auto at = lower.find(c); at != std::string_view::npos)
        return static_cast<int>(at);
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // As a command: the bytes, two uppercase hex digits of their sum when asked for, then CR.
    for (bool checksum : {false, true}) {
        const std::size_t room = size + (checksum ? 2 : 0) + 1;
        auto out = std::make_unique<char[]>(room);
        const std::size_t n =
            portula::frameCommand(bytes, checksum, std::span<char>(out.get(), room));
        std::string expected(bytes);
        if (checksum) {
            static const char upper[] = "0123456789ABCDEF";
            const unsigned sum = referenceSum(bytes);
            expected += upper[sum / 16];
            expected += upper[sum % 16];
        }
        expected += '\r';
        if (n != expected.size() || std::string_view(out.get(), n) != expected)
            std::abort();
        // One byte short: refused, nothing written past the end.
        if (room > 0) {
            auto small = std::make_unique<char[]>(room - 1);
            if (portula::frameCommand(bytes, checksum, std::span<char>(small.get(), room - 1)) != 0)
                std::abort();
        }
        // Our own frame, read back as a reply without its CR, checks out when it has a checksum.
        std::size_t payload = 0;
        if (checksum &&
            (!portula::verifyReplyChecksum(std::string_view(expected).substr(0, n - 1), payload) ||
             payload != size))
            std::abort();
    }

    // As a reply: valid exactly when it ends in two hex digits (either case) of the sum before.
    bool valid = false;
    if (size >= 2) {
        const int hi = hexDigit(bytes[size - 2]);
        const int lo = hexDigit(bytes[size - 1]);
        valid = hi >= 0 && lo >= 0 &&
                static_cast<unsigned>(hi * 16 + lo) == referenceSum(bytes.substr(0, size - 2));
    }
    std::size_t payload = 12345;
    const bool ok = portula::verifyReplyChecksum(bytes, payload);
    if (ok != valid || (ok && payload != size - 2))
        std::abort();
    return 0;
}
