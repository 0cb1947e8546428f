#include "cmd/Line.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <chrono>

namespace cmd {

namespace {
using Clock = std::chrono::steady_clock;

std::int64_t microsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

} // namespace

Exchange exchange(std::uint8_t port, const std::string& text, const Options& options,
                  unsigned timeoutMs, bool checksum) {
    Exchange result;
    std::array<char, UARTCE_REPLY_BUFFER_SIZE> reply{};
    if (options.ending == Ending::CR) {
        const auto start = Clock::now();
        std::uint32_t length = 0;
        result.status =
            Send_Receive_Cmd(port, text.c_str(), reply.data(),
                             static_cast<std::uint16_t>(timeoutMs), checksum ? 1 : 0, &length);
        result.roundTripUs = microsSince(start);
        result.reply.assign(reply.data(), length);
        return result;
    }
    // A reply to an earlier command is not this one's: what waits now is dropped, and no more
    // (a device that streams must not hold the tool).
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    std::array<char, UARTCE_RECEIVE_BUFFER_SIZE> chunk{};
    std::uint32_t got = 0;
    for (std::uint32_t stale = DataSizeInCom(port); stale > 0 && Clock::now() < deadline;) {
        if (Receive_Cmd(port, chunk.data(), 0, 0, &got) != UARTCE_OK || got == 0)
            break;
        stale -= std::min(stale, got);
    }
    const std::string frame = text + options.endingBytes;
    const auto sent = Clock::now();
    result.status = Send_Binary(port, frame.data(), static_cast<std::uint32_t>(frame.size()));
    if (result.status != UARTCE_OK)
        return result;
    // The library waits for the reply up to its CR, leaving out the line's echo of the frame.
    std::uint32_t length = 0;
    result.status = UARTCE_Receive(port, reply.data(), static_cast<std::uint32_t>(reply.size()),
                                   static_cast<std::uint16_t>(timeoutMs), '\r', &length);
    result.reply.assign(reply.data(), length);
    result.roundTripUs = microsSince(sent);
    return result;
}

} // namespace cmd
