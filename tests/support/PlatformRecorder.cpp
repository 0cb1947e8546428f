#include "support/PlatformRecorder.h"

#include <korvexsdk.h>
#include <uartce.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>

// The stand-ins must have exactly the libraries' signatures: the program is compiled against
// those headers and linked against these definitions.
static_assert(
    std::is_same_v<decltype(&Open_Com), std::uint16_t (*)(std::uint8_t, std::uint32_t, std::uint8_t,
                                                          std::uint8_t, std::int8_t)>);
static_assert(std::is_same_v<decltype(&DataSizeInCom), std::uint32_t (*)(std::uint16_t)>);
static_assert(std::is_same_v<decltype(&ChangeSlotToTarn), std::uint16_t (*)(std::int8_t)>);

namespace recorder {

namespace {
std::vector<Call>& log() {
    static std::vector<Call> calls;
    return calls;
}
} // namespace

Script& script() {
    static Script s;
    return s;
}

const std::vector<Call>& calls() {
    return log();
}

std::vector<Call> callsTo(const std::string& function) {
    std::vector<Call> out;
    std::copy_if(log().begin(), log().end(), std::back_inserter(out),
                 [&](const Call& c) { return c.function == function; });
    return out;
}

void reset() {
    log().clear();
    script() = Script{};
}

} // namespace recorder

using recorder::log;
using recorder::script;

extern "C" {

uint16_t Open_Com(uint8_t port, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                  int8_t stopBits) {
    log().push_back({"Open_Com", {port, baudRate, dataBits, parity, stopBits}, {}});
    return script().openResult;
}

uint16_t Close_Com(uint8_t port) {
    log().push_back({"Close_Com", {port}, {}});
    return 0;
}

uint16_t Send_Binary(uint8_t port, const char* data, uint32_t count) {
    log().push_back({"Send_Binary", {port, count}, std::string(data, count)});
    return 0;
}

uint16_t Send_Receive_Cmd(uint8_t port, const char* command, char* reply, uint16_t timeoutMs,
                          uint16_t checksum, uint32_t* out) {
    log().push_back({"Send_Receive_Cmd", {port, timeoutMs, checksum}, command});
    const std::string& r = script().commandReply;
    const std::size_t n = std::min<std::size_t>(r.size(), UARTCE_REPLY_BUFFER_SIZE - 1);
    std::memcpy(reply, r.data(), n);
    reply[n] = '\0';
    if (out)
        *out = static_cast<uint32_t>(n);
    return script().commandResult;
}

uint16_t Receive_Cmd(uint8_t port, char* buffer, uint16_t timeoutMs, uint16_t checksum,
                     uint32_t* out) {
    log().push_back({"Receive_Cmd", {port, timeoutMs, checksum}, {}});
    std::string& chunk = script().receiveChunk;
    // Copies at most the whole buffer: a test may hand more to see that the caller copes.
    const std::size_t n = std::min<std::size_t>(chunk.size(), UARTCE_RECEIVE_BUFFER_SIZE);
    std::memcpy(buffer, chunk.data(), n);
    if (n < UARTCE_RECEIVE_BUFFER_SIZE)
        buffer[n] = '\0';
    chunk.clear();
    script().dataWaiting = 0;
    auto& later = script().laterChunks;
    if (!later.empty()) {
        chunk = later.front();
        later.erase(later.begin());
        script().dataWaiting = static_cast<std::uint32_t>(chunk.size());
    }
    if (out)
        *out = static_cast<uint32_t>(n);
    return 0;
}

uint32_t DataSizeInCom(uint16_t port) {
    log().push_back({"DataSizeInCom", {port}, {}});
    return script().dataWaiting;
}

uint32_t UARTCE_PortDevice(uint8_t port, char* out, uint32_t size) {
    log().push_back({"UARTCE_PortDevice", {port}, {}});
    const std::string device = "/dev/recorded" + std::to_string(port);
    std::snprintf(out, size, "%s", device.c_str());
    return static_cast<uint32_t>(device.size());
}

uint32_t UARTCE_LastError(uint8_t port, char* out, uint32_t size) {
    log().push_back({"UARTCE_LastError", {port}, {}});
    std::snprintf(out, size, "%s", script().lastError.c_str());
    return static_cast<uint32_t>(script().lastError.size());
}

uint16_t ChangeSlotToTarn(int8_t slot) {
    log().push_back({"ChangeSlotToTarn", {slot}, {}});
    return 0;
}

int8_t KorvexSDK_CurrentSlot(void) {
    return 0;
}

} // extern "C"
