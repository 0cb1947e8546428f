// The library's entry points: port table, command and reply handling.

#include "Deadline.h"
#include "Framing.h"
#include "Platform.h"
#include "PortNames.h"
#include "Trace.h"

#include <uartce.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
using namespace uartce;
using platform::Io;

constexpr std::size_t kMaxReply = UARTCE_REPLY_BUFFER_SIZE - 1;
constexpr std::size_t kMaxChunk = UARTCE_RECEIVE_BUFFER_SIZE - 1;
// Longest command accepted; the frame adds at most three bytes.
constexpr std::size_t kMaxCommand = 4096;

struct Port {
    platform::Handle handle = platform::kNoHandle;
    bool hungUp = false;
    // Bytes that came after a reply's CR in the same read; served before new input.
    std::array<char, 512> pending{};
    std::size_t pendingSize = 0;

    bool open() const { return handle != platform::kNoHandle; }
};

std::array<Port, 256> ports;

const char* getEnv(const char* name) {
    return std::getenv(name);
}

const char* remedyFor(std::uint16_t status, unsigned port) {
    static char buffer[96];
    switch (status) {
    case UARTCE_ERR_ACCESS:
        return "; add the user to the dialout group and log in again";
    case UARTCE_ERR_BUSY:
        return "; another program holds it";
    case UARTCE_ERR_NO_DEVICE:
        std::snprintf(buffer, sizeof buffer, "; set UARTCE_COM%u to the device to use", port);
        return buffer;
    default:
        return "";
    }
}

void reportRefusal(unsigned port, const std::string& device, std::uint16_t status,
                   const std::string& reason) {
    std::fprintf(stderr, "UARTCE: cannot open COM%u (%s): %s%s\n", port, device.c_str(),
                 reason.c_str(), remedyFor(status, port));
}

// Moves up to capacity pending bytes into out.
std::size_t takePending(Port& p, char* out, std::size_t capacity) {
    const std::size_t n = p.pendingSize < capacity ? p.pendingSize : capacity;
    std::memcpy(out, p.pending.data(), n);
    std::memmove(p.pending.data(), p.pending.data() + n, p.pendingSize - n);
    p.pendingSize -= n;
    return n;
}

void keepPending(Port& p, const char* bytes, std::size_t count) {
    const std::size_t room = p.pending.size() - p.pendingSize;
    const std::size_t n = count < room ? count : room;
    std::memcpy(p.pending.data() + p.pendingSize, bytes, n);
    p.pendingSize += n;
}

void setOut(std::uint32_t* out, std::size_t value) {
    if (out)
        *out = static_cast<std::uint32_t>(value);
}

std::uint16_t statusOf(Io io) {
    switch (io) {
    case Io::Ok:
        return UARTCE_OK;
    case Io::HungUp:
        return UARTCE_ERR_HANGUP;
    case Io::WouldBlock:
    case Io::Failed:
        break;
    }
    return UARTCE_ERR_WRITE;
}

// Collects a reply up to its CR into reply (zero-terminated), within the deadline.
std::uint16_t collectReply(Port& p, char* reply, const Deadline& deadline, std::size_t& length) {
    length = 0;
    bool overflow = false;
    bool anything = false;
    std::array<char, 512> chunk;
    for (;;) {
        std::size_t got = 0;
        const Io io = platform::readAvailable(p.handle, chunk.data(), chunk.size(), got);
        if (io == Io::Ok) {
            anything = true;
            const char* end = static_cast<const char*>(std::memchr(chunk.data(), kCR, got));
            const std::size_t body = end ? static_cast<std::size_t>(end - chunk.data()) : got;
            const std::size_t room = kMaxReply - length;
            const std::size_t take = body < room ? body : room;
            std::memcpy(reply + length, chunk.data(), take);
            length += take;
            reply[length] = '\0';
            overflow = overflow || body > room;
            if (end) {
                keepPending(p, end + 1, got - body - 1);
                return overflow ? UARTCE_ERR_REPLY_TOO_LONG : UARTCE_OK;
            }
            continue;
        }
        if (io == Io::HungUp) {
            p.hungUp = true;
            return UARTCE_ERR_HANGUP;
        }
        if (io == Io::Failed)
            return UARTCE_ERR_READ;
        const Io waited = platform::waitReadable(p.handle, deadline);
        if (waited == Io::WouldBlock) {
            if (overflow)
                return UARTCE_ERR_REPLY_TOO_LONG;
            return anything ? UARTCE_ERR_REPLY_CUT : UARTCE_ERR_NO_REPLY;
        }
        if (waited == Io::HungUp) {
            p.hungUp = true;
            return UARTCE_ERR_HANGUP;
        }
        if (waited == Io::Failed)
            return UARTCE_ERR_READ;
    }
}

Port* openPort(unsigned port) {
    if (port == 0 || port >= ports.size() || !ports[port].open())
        return nullptr;
    return &ports[port];
}
} // namespace

extern "C" {

uint16_t Open_Com(uint8_t port, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                  int8_t stopBits) {
    if (trace::active()) return trace::open(&Open_Com, port, baudRate, dataBits, parity, stopBits);
    const std::string device = devicePathFor(port, getEnv);
    if (port == 0) {
        std::fprintf(stderr, "UARTCE: cannot open COM0: there is no port 0\n");
        return UARTCE_ERR_BAD_PORT;
    }
    Port& p = ports[port];
    if (p.open()) {
        reportRefusal(port, device, UARTCE_ERR_ALREADY_OPEN, "already open");
        return UARTCE_ERR_ALREADY_OPEN;
    }
    const platform::LineSettings settings{baudRate, dataBits, parity, stopBits};
    if (!platform::validSettings(settings)) {
        char reason[128];
        std::snprintf(reason, sizeof reason,
                      "unsupported settings (baud %u, data bits %u, parity %u, stop bits %d)",
                      static_cast<unsigned>(baudRate), static_cast<unsigned>(dataBits),
                      static_cast<unsigned>(parity), static_cast<int>(stopBits));
        reportRefusal(port, device, UARTCE_ERR_BAD_SETTINGS, reason);
        return UARTCE_ERR_BAD_SETTINGS;
    }
    const platform::OpenResult opened = platform::openDevice(device, settings);
    if (opened.status != UARTCE_OK) {
        reportRefusal(port, device, opened.status, opened.reason);
        return opened.status;
    }
    p = Port{};
    p.handle = opened.handle;
    return UARTCE_OK;
}

uint16_t Close_Com(uint8_t port) {
    if (trace::active()) return trace::close(&Close_Com, port);
    if (port == 0 || !ports[port].open())
        return UARTCE_ERR_NOT_OPEN;
    platform::closeDevice(ports[port].handle);
    ports[port] = Port{};
    return UARTCE_OK;
}

uint16_t Send_Binary(uint8_t port, const char* data, uint32_t count) {
    if (trace::active()) return trace::send(&Send_Binary, port, data, count);
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    if (count == 0)
        return UARTCE_OK;
    if (!data)
        return UARTCE_ERR_BAD_ARGUMENT;
    const Io io = platform::writeAll(p->handle, data, count, kWriteStallLimit);
    if (io == Io::HungUp)
        p->hungUp = true;
    return statusOf(io);
}

uint16_t Send_Receive_Cmd(uint8_t port, const char* command, char* reply, uint16_t timeoutMs,
                          uint16_t checksum, uint32_t* out) {
    if (trace::active()) return trace::command(&Send_Receive_Cmd, port, command, reply, timeoutMs, checksum, out);
    setOut(out, 0);
    if (!reply)
        return UARTCE_ERR_BAD_ARGUMENT;
    reply[0] = '\0';
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    if (!command)
        return UARTCE_ERR_BAD_ARGUMENT;
    const std::size_t commandLength = strnlen(command, kMaxCommand + 1);
    if (commandLength > kMaxCommand)
        return UARTCE_ERR_BAD_ARGUMENT;

    // A line that arrived before the command is not its reply.
    platform::discardInput(p->handle);
    p->pendingSize = 0;

    std::array<char, kMaxCommand + 3> frame;
    const std::size_t frameLength =
        frameCommand(std::string_view(command, commandLength), checksum != 0, frame);
    const Io written = platform::writeAll(p->handle, frame.data(), frameLength, kWriteStallLimit);
    if (written != Io::Ok) {
        if (written == Io::HungUp)
            p->hungUp = true;
        return statusOf(written);
    }

    std::size_t length = 0;
    const std::uint16_t status =
        collectReply(*p, reply, Deadline::after(std::chrono::milliseconds(timeoutMs)), length);
    if (status != UARTCE_OK) {
        setOut(out, length);
        return status;
    }
    if (checksum != 0) {
        std::size_t payload = 0;
        if (!verifyReplyChecksum(std::string_view(reply, length), payload)) {
            setOut(out, length);
            return UARTCE_ERR_CHECKSUM;
        }
        length = payload;
        reply[length] = '\0';
    }
    setOut(out, length);
    return UARTCE_OK;
}

uint16_t Receive_Cmd(uint8_t port, char* buffer, uint16_t timeoutMs, uint16_t checksum,
                     uint32_t* out) {
    if (trace::active()) return trace::receive(&Receive_Cmd, port, buffer, timeoutMs, checksum, out);
    setOut(out, 0);
    if (!buffer)
        return UARTCE_ERR_BAD_ARGUMENT;
    buffer[0] = '\0';
    Port* p = openPort(port);
    if (!p)
        return UARTCE_ERR_NOT_OPEN;
    std::size_t length = takePending(*p, buffer, kMaxChunk);
    std::uint16_t status = UARTCE_OK;
    while (length < kMaxChunk && !p->hungUp) {
        std::size_t got = 0;
        const Io io = platform::readAvailable(p->handle, buffer + length, kMaxChunk - length, got);
        if (io == Io::Ok) {
            length += got;
            continue;
        }
        if (io == Io::HungUp) {
            p->hungUp = true;
            status = length == 0 ? UARTCE_ERR_HANGUP : UARTCE_OK;
        } else if (io == Io::Failed) {
            status = length == 0 ? UARTCE_ERR_READ : UARTCE_OK;
        }
        break;
    }
    if (p->hungUp && length == 0)
        status = UARTCE_ERR_HANGUP;
    buffer[length] = '\0';
    setOut(out, length);
    return status;
}

uint32_t DataSizeInCom(uint16_t port) {
    if (port == 0 || port >= ports.size())
        return 0;
    Port& p = ports[port];
    if (!p.open() || p.hungUp)
        return 0;
    std::uint32_t waiting = 0;
    const Io io = platform::bytesWaiting(p.handle, waiting);
    if (io == Io::HungUp) {
        p.hungUp = true;
        return 0;
    }
    return io == Io::Ok ? waiting + static_cast<std::uint32_t>(p.pendingSize) : 0;
}

uint32_t UARTCE_PortDevice(uint8_t port, char* out, uint32_t size) {
    if (port == 0)
        return 0;
    const std::string device = devicePathFor(port, getEnv);
    if (out && size > 0) {
        const std::size_t n = device.size() < size - 1 ? device.size() : size - 1;
        std::memcpy(out, device.data(), n);
        out[n] = '\0';
    }
    return static_cast<uint32_t>(device.size());
}

} // extern "C"
