#include "Trace.h"

#include "rules/FileSink.h"

#include "Messages.h"
#include "Report.h"
#include "rules/Framing.h"

#include <uartce.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uartce::trace {

int g_state = -1;

namespace {

int g_fd = -1;
bool g_regular = false; // the trace is a regular file, whose cut line can be taken back
unsigned long g_dropped = 0;
thread_local bool t_inside = false;
thread_local std::string t_out; // what the call under way put on the line

// A line the trace could not take whole (a full disk, a file-size limit, a device that would
// block) is dropped: the exchange matters more than its record. The first loss is said once.
void dropped(std::size_t written, int error) {
    if (written > 0 && g_regular) {
        // Take back the part of the line that went in, so the file holds whole lines only.
        const off_t end = ::lseek(g_fd, 0, SEEK_END);
        if (end >= static_cast<off_t>(written) &&
            ::ftruncate(g_fd, end - static_cast<off_t>(written)) != 0) {
        }
    }
    if (g_dropped++ == 0)
        report(0, 0,
               std::string("the trace could not take a line (") + std::strerror(error) +
                   "); lines it cannot take whole are dropped, and counted at the end");
}

std::string droppedCount() {
    return std::to_string(g_dropped) + (g_dropped == 1 ? " trace line was" : " trace lines were") +
           " dropped";
}

// The count of lines lost, said as the program ends.
struct DroppedReport {
    ~DroppedReport() {
        // Standard error, not the caller's handler: the caller may be gone by now.
        if (g_dropped > 0)
            std::fprintf(stderr, "UARTCE: %s\n", droppedCount().c_str());
    }
} g_droppedReport;

void writeLine(const std::string& line) {
    for (;;) {
        const ssize_t n = ::write(g_fd, line.data(), line.size());
        if (n == static_cast<ssize_t>(line.size()))
            return;
        if (n < 0 && errno == EINTR)
            continue;
        // A short write to a regular file is a size limit or a full disk.
        dropped(n > 0 ? static_cast<std::size_t>(n) : 0, n < 0 ? errno : EFBIG);
        return;
    }
}

using SteadyClock = std::chrono::steady_clock;

std::int64_t nowUnixMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Runs a call with the hooks off, so the entry point it calls does the work untraced.
class Call {
  public:
    Call() : m_began(nowUnixMicros()), m_start(SteadyClock::now()) {
        t_inside = true;
        t_out.clear();
    }
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
        writeLine(line);
    }

  private:
    std::int64_t m_began;
    SteadyClock::time_point m_start;
};

} // namespace

bool setFile(const char* path) {
    if (g_fd >= 0)
        ::close(g_fd);
    g_fd = -1;
    g_state = 0;
    if (g_dropped > 0)
        report(0, 0, droppedCount());
    g_dropped = 0;
    if (!path || !*path)
        return true;
    // Never blocking, neither to open nor to write: a FIFO without a reader would hold the
    // open for ever, and one whose reader stops would hold every call.
    const portula::FileSink sink = portula::openFileSink(path, 0644);
    if (sink.fd < 0) {
        report(0, UARTCE_ERR_OPEN_FAILED, "cannot write the trace: " + sink.refusal);
        return false;
    }
    g_fd = sink.fd;
    g_regular = sink.regular;
    // Past a file-size limit a write fails with EFBIG like any full disk, instead of the
    // signal ending the program; a caller that set its own disposition keeps it.
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        ::signal(SIGXFSZ, SIG_IGN);
    g_state = 1;
    return true;
}

void start() {
    setFile(std::getenv("PORTULA_TRACE"));
}

void dropped(unsigned port, std::string_view bytes, std::string_view reason) {
    if (g_state <= 0 || g_fd < 0)
        return;
    writeLine(formatRecord({nowUnixMicros(), port, "dropped", {}, bytes, 0, 0, reason}));
}

void wentOut(std::string_view bytes) {
    if (t_inside)
        t_out.append(bytes);
}

bool inside() {
    return t_inside;
}

std::uint16_t call(std::string_view name, unsigned port, const std::function<Outcome()>& run) {
    const Call call;
    const Outcome outcome = run();
    if (outcome.record)
        call.write(port, name, t_out, outcome.in, outcome.status);
    return outcome.status;
}

} // namespace uartce::trace
