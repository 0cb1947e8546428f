#include "cmd/Line.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <chrono>

namespace cmd {

namespace {

uartce_drops dropsOf(std::uint8_t port) {
    uartce_drops drops{};
    drops.size = sizeof drops;
    UARTCE_Drops(port, &drops);
    return drops;
}

// The library's account of the exchange: its round trip, and what it set aside meanwhile.
void account(Exchange& result, std::uint8_t port, const uartce_drops& before) {
    const uartce_drops after = dropsOf(port);
    result.roundTripUs = UARTCE_LastRoundTrip(port);
    result.late = after.late - before.late;
    result.otherAddress = after.otherAddress - before.otherAddress;
    result.echoes = after.echoes - before.echoes;
    result.notReplies = after.notReplies - before.notReplies;
    if (result.late + result.otherAddress > 0)
        result.lastDropped.assign(after.lastBytes, after.lastLength);
}

} // namespace

std::string failureWords(const Exchange& e, unsigned timeoutMs) {
    if (e.status == UARTCE_ERR_EXCEPTION)
        return "the slave answered with " + portula::modbusExceptionText(e.exception);
    std::string words = statusWords(e.status, timeoutMs);
    if (e.status == UARTCE_ERR_NO_REPLY && e.echoes > 0 && !e.modbus &&
        e.late + e.otherAddress + e.notReplies == 0)
        words += "; the line returned the command itself: a loopback plug, or no module answered";
    return words;
}

Exchange exchange(std::uint8_t port, const std::string& text, const Options& options,
                  unsigned timeoutMs, bool checksum, unsigned firstByteMs) {
    Exchange result;
    std::array<char, UARTCE_REPLY_BUFFER_SIZE> reply{};
    const uartce_drops before = dropsOf(port);
    const auto timeout = static_cast<std::uint16_t>(timeoutMs);
    std::uint32_t length = 0;
    if (options.ending == Ending::CR) {
        result.status = firstByteMs ? UARTCE_Command(port, text.c_str(), reply.data(),
                                                     static_cast<std::uint16_t>(firstByteMs),
                                                     timeout, checksum ? 1 : 0, &length)
                                    : Send_Receive_Cmd(port, text.c_str(), reply.data(), timeout,
                                                       checksum ? 1 : 0, &length);
        result.reply.assign(reply.data(), length);
        account(result, port, before);
        return result;
    }
    // A reply to an earlier command is not this one's: what waits now is dropped, and no more
    // (a device that streams must not hold the tool).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::array<char, UARTCE_RECEIVE_BUFFER_SIZE> chunk{};
    std::uint32_t got = 0;
    for (std::uint32_t stale = DataSizeInCom(port);
         stale > 0 && std::chrono::steady_clock::now() < deadline;) {
        if (Receive_Cmd(port, chunk.data(), 0, 0, &got) != UARTCE_OK || got == 0)
            break;
        stale -= std::min(stale, got);
    }
    const std::string frame = text + options.endingBytes;
    result.status = Send_Binary(port, frame.data(), static_cast<std::uint32_t>(frame.size()));
    if (result.status != UARTCE_OK)
        return result;
    // The library waits for the reply up to its CR, leaving out the line's echo of the frame.
    result.status = UARTCE_Receive(port, reply.data(), static_cast<std::uint32_t>(reply.size()),
                                   timeout, '\r', &length);
    result.reply.assign(reply.data(), length);
    account(result, port, before);
    return result;
}

Exchange modbusExchange(std::uint8_t port, const std::string& request, portula::ModbusMode mode,
                        unsigned timeoutMs) {
    Exchange result;
    std::array<std::uint8_t, portula::kRtuMaxFrame> reply{};
    const uartce_drops before = dropsOf(port);
    std::uint32_t length = 0;
    std::uint8_t exception = 0;
    result.status = UARTCE_ModbusExchange(
        port, mode == portula::ModbusMode::Rtu ? UARTCE_MODBUS_RTU : UARTCE_MODBUS_ASCII,
        reinterpret_cast<const std::uint8_t*>(request.data()),
        static_cast<std::uint32_t>(request.size()), reply.data(),
        static_cast<std::uint32_t>(reply.size()), &length, static_cast<std::uint16_t>(timeoutMs),
        &exception);
    result.reply.assign(reinterpret_cast<const char*>(reply.data()), length);
    result.exception = exception;
    result.modbus = true;
    account(result, port, before);
    return result;
}

} // namespace cmd
