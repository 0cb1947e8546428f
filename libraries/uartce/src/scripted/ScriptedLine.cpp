#include "scripted/ScriptedLine.h"

#include "Platform.h"

#include <uartce.h>

#include <algorithm>

namespace uartce::scripted {

namespace {
Line g_line;
} // namespace

Line& line() {
    return g_line;
}

void reset() {
    g_line = Line{};
}

namespace {

using platform::Io;

class ScriptedDevice : public platform::Device {
  public:
    Io readAvailable(char* buffer, std::size_t capacity, std::size_t& got) override {
        got = 0;
        if (g_line.endlessReads > 0 && g_line.arrived.empty() && g_line.duringWait.empty()) {
            --g_line.endlessReads;
            got = std::min(capacity, g_line.readLimit);
            std::fill(buffer, buffer + got, 'x');
            ++g_line.reads;
            return Io::Ok;
        }
        if (g_line.arrived.empty())
            return g_line.hungUp ? Io::HungUp : Io::WouldBlock;
        got = std::min({capacity, g_line.arrived.size(), g_line.readLimit});
        for (std::size_t i = 0; i < got; ++i) {
            buffer[i] = g_line.arrived.front();
            g_line.arrived.pop_front();
        }
        ++g_line.reads;
        return Io::Ok;
    }
    // Time passes at once: the next piece arrives, or the deadline is reached.
    Io waitReadable(const Deadline&) override {
        if (!g_line.duringWait.empty()) {
            const std::string piece = g_line.duringWait.front();
            g_line.duringWait.pop_front();
            g_line.arrived.insert(g_line.arrived.end(), piece.begin(), piece.end());
            return Io::Ok;
        }
        if (g_line.endlessReads > 0)
            return Io::Ok;
        return g_line.hungUp ? Io::HungUp : Io::WouldBlock;
    }
    Io writeAll(const char* data, std::size_t count, std::chrono::milliseconds,
                std::size_t& written) override {
        written = 0;
        if (g_line.hungUp)
            return Io::HungUp;
        g_line.written.append(data, count);
        written = count;
        return Io::Ok;
    }
    void discardInput(const Deadline&) override { g_line.arrived.clear(); }
    Io bytesWaiting(std::uint32_t& count) override {
        count = static_cast<std::uint32_t>(g_line.arrived.size());
        return g_line.arrived.empty() && g_line.hungUp ? Io::HungUp : Io::Ok;
    }
};

} // namespace

} // namespace uartce::scripted

// The system side, replaced: COM1 is the scripted device, and it never comes back once gone.
namespace uartce::platform {
OpenResult openDevice(const std::string&, const LineSettings&) {
    return {std::make_unique<scripted::ScriptedDevice>(), UARTCE_OK, {}};
}
bool sameDevice(const std::string& a, const std::string& b) {
    return a == b;
}
bool localDeviceExists(const std::string&) {
    return false;
}
// Nothing is kept beyond the port: a port opened anew owes nothing.
bool rememberOwedReplies(const std::string&, const std::vector<OwedReply>&) {
    return false;
}
std::vector<OwedReply> recallOwedReplies(const std::string&) {
    return {};
}
PortMapInputs scanPortMapInputs() {
    PortMapInputs inputs;
    inputs.env[1] = "scripted";
    inputs.exists = [](const std::string&) { return true; };
    return inputs;
}
} // namespace uartce::platform
