#include "Trace.h"

#include "Framing.h"

#include <uartce.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace uartce::trace {

int g_state = -1;

namespace {

int g_fd = -1;
thread_local bool t_inside = false;

using SteadyClock = std::chrono::steady_clock;

std::int64_t nowUnixMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Runs a call with the hooks off, so the entry point it calls does the work untraced.
class Call {
  public:
    Call() : m_began(nowUnixMicros()), m_start(SteadyClock::now()) { t_inside = true; }
    ~Call() { t_inside = false; }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    void write(unsigned port, std::string_view call, std::string_view out, std::string_view in,
               unsigned status) const {
        if (g_fd < 0)
            return;
        const auto spent =
            std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - m_start)
                .count();
        const std::string line =
            formatRecord({m_began, port, call, out, in, status, static_cast<std::int64_t>(spent)});
        // One write of the whole line to a file opened for appending: lines from several
        // programs never interleave, and a crash loses no line already written.
        while (::write(g_fd, line.data(), line.size()) < 0 && errno == EINTR) {
        }
    }

  private:
    std::int64_t m_began;
    SteadyClock::time_point m_start;
};

} // namespace

std::string escapeBytes(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    char hex[5];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

namespace {
// The escaped text holds printable ASCII only; JSON needs just its quote and backslash escaped.
void appendJsonString(std::string& line, std::string_view bytes) {
    line.push_back('"');
    for (char c : escapeBytes(bytes)) {
        if (c == '"' || c == '\\')
            line.push_back('\\');
        line.push_back(c);
    }
    line.push_back('"');
}
} // namespace

std::string formatRecord(const Record& r) {
    const std::time_t seconds = static_cast<std::time_t>(r.unixMicros / 1000000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(stamp + n, sizeof stamp - n, ".%06lldZ",
                  static_cast<long long>(r.unixMicros % 1000000));
    std::string line = "{\"time\":\"";
    line += stamp;
    line += "\",\"port\":" + std::to_string(r.port) + ",\"call\":\"";
    line += r.call;
    line += "\",\"out\":";
    appendJsonString(line, r.out);
    line += ",\"in\":";
    appendJsonString(line, r.in);
    line += ",\"status\":" + std::to_string(r.status) +
            ",\"us\":" + std::to_string(r.durationMicros) + "}\n";
    return line;
}

void setFile(const char* path) {
    if (g_fd >= 0)
        ::close(g_fd);
    g_fd = -1;
    g_state = 0;
    if (!path || !*path)
        return;
    g_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_fd < 0) {
        std::fprintf(stderr, "UARTCE: cannot write the trace %s: %s\n", path, std::strerror(errno));
        return;
    }
    g_state = 1;
}

void start() {
    setFile(std::getenv("PORTULA_TRACE"));
}

bool inside() {
    return t_inside;
}

std::uint16_t open(OpenFn fn, std::uint8_t port, std::uint32_t baud, std::uint8_t dataBits,
                   std::uint8_t parity, std::int8_t stopBits) {
    const Call call;
    const std::uint16_t status = fn(port, baud, dataBits, parity, stopBits);
    call.write(port, "Open_Com", {}, {}, status);
    return status;
}

std::uint16_t close(CloseFn fn, std::uint8_t port) {
    const Call call;
    const std::uint16_t status = fn(port);
    call.write(port, "Close_Com", {}, {}, status);
    return status;
}

std::uint16_t send(SendFn fn, std::uint8_t port, const char* data, std::uint32_t count) {
    const Call call;
    const std::uint16_t status = fn(port, data, count);
    call.write(port, "Send_Binary", data ? std::string_view(data, count) : std::string_view(), {},
               status);
    return status;
}

std::uint16_t command(CommandFn fn, std::uint8_t port, const char* command, char* reply,
                      std::uint16_t timeoutMs, std::uint16_t checksum, std::uint32_t* out) {
    const Call call;
    std::uint32_t length = 0;
    const std::uint16_t status = fn(port, command, reply, timeoutMs, checksum, &length);
    if (out)
        *out = length;
    // The frame as it went on the line: the command, its checksum when asked for, the CR.
    std::string frame;
    if (command) {
        const std::string_view text(command, ::strnlen(command, 4097));
        frame.resize(text.size() + 3);
        frame.resize(frameCommand(text, checksum != 0, std::span<char>(frame)));
    }
    call.write(port, "Send_Receive_Cmd", frame,
               reply ? std::string_view(reply, length) : std::string_view(), status);
    return status;
}

std::uint16_t receive(ReceiveFn fn, std::uint8_t port, char* buffer, std::uint16_t timeoutMs,
                      std::uint16_t checksum, std::uint32_t* out) {
    const Call call;
    std::uint32_t length = 0;
    const std::uint16_t status = fn(port, buffer, timeoutMs, checksum, &length);
    if (out)
        *out = length;
    // An idle poll is not an event on the line.
    if (status != UARTCE_OK || length > 0)
        call.write(port, "Receive_Cmd", {}, std::string_view(buffer, length), status);
    return status;
}

} // namespace uartce::trace
