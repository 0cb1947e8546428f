#include "cmd/Line.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <poll.h>

namespace cmd {

namespace {
using Clock = std::chrono::steady_clock;

std::int64_t microsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

// Lets the line deliver; the library offers no wait, so the check is every half millisecond.
void pause() {
    ::poll(nullptr, 0, 0);
    timespec half{0, 500000};
    ::nanosleep(&half, nullptr);
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
    // The whole exchange, stale bytes included, keeps to the time-out: a device that streams
    // must not hold the tool, so the deadline is checked after every read as well as between.
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    // A reply to an earlier command is not this one's: what waits now is dropped, and no more.
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
    for (;;) {
        if (DataSizeInCom(port) > 0) {
            result.status = Receive_Cmd(port, chunk.data(), 0, 0, &got);
            result.reply.append(chunk.data(), got);
            if (result.status != UARTCE_OK)
                break;
            const std::size_t cr = result.reply.find('\r');
            if (cr != std::string::npos) {
                result.reply.resize(cr);
                break;
            }
            // The library's own limit for a reply.
            if (result.reply.size() >= UARTCE_REPLY_BUFFER_SIZE) {
                result.reply.resize(UARTCE_REPLY_BUFFER_SIZE - 1);
                result.status = UARTCE_ERR_REPLY_TOO_LONG;
                break;
            }
            if (Clock::now() >= deadline) {
                result.status = UARTCE_ERR_REPLY_CUT;
                break;
            }
        } else if (Clock::now() >= deadline) {
            // A hang-up shows here: the poll reports nothing, the read says why.
            result.status = Receive_Cmd(port, chunk.data(), 0, 0, &got);
            result.reply.append(chunk.data(), got);
            if (result.status == UARTCE_OK)
                result.status = result.reply.empty() ? UARTCE_ERR_NO_REPLY : UARTCE_ERR_REPLY_CUT;
            break;
        } else {
            pause();
        }
    }
    result.roundTripUs = microsSince(sent);
    return result;
}

} // namespace cmd
