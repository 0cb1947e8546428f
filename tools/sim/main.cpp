// portula-sim: simulated serial I/O modules on a pseudo-terminal.
//
// Prints the pseudo-terminal's device path on its first line of output; point the terminal at
// it with UARTCE_COM<n>=<path>. Runs until it is stopped.

#include "posix/LineSettings.h"
#include "sim/Line.h"
#include "sim/Module.h"
#include "sim/Options.h"
#include "sim/Truth.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = sim::Line::Clock;

// The line settings as the terminal set them up match the modules' own.
bool lineMatches(int slave, const sim::Options& o) {
    termios t{};
    if (::tcgetattr(slave, &t) != 0)
        return false;
    speed_t expected;
    uartce::platform::baudConstant(o.baud, expected);
    const bool twoStops = (t.c_cflag & CSTOPB) != 0;
    // A pseudo-terminal keeps no parity bit (the kernel clears PARENB) but keeps the odd flag:
    // odd parity shows, even and none look alike.
    const bool parityMatches = !o.parityGiven || ((t.c_cflag & PARODD) != 0) == (o.parity == 1);
    return cfgetospeed(&t) == expected && twoStops == (o.stopBits == 2) && parityMatches;
}

int openBackplane(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size()); // length checked by the parser
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void logBytes(const char* direction, std::string_view bytes) {
    std::string hex;
    std::string text;
    char pair[4];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02X ", c);
        hex += pair;
        text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
    }
    std::fprintf(stderr, "portula-sim: %s %zu bytes: %s |%s|\n", direction, bytes.size(),
                 hex.c_str(), text.c_str());
}

// Until the line next has something to do; -1 while it has nothing or waits to write.
int pollTimeout(const sim::Line& line, Clock::time_point now) {
    const auto next = line.nextEvent();
    if (!line.ready().empty() || !next)
        return -1;
    if (*next <= now)
        return 0;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), 60'000));
}

} // namespace

int main(int argc, char** argv) {
    const sim::ParsedOptions parsed = sim::parseOptions(argc, argv);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "portula-sim: %s (see --help)\n", parsed.error.c_str());
        return 2;
    }
    const sim::Options& o = parsed.options;
    if (o.help || o.version) {
        std::fputs((o.help ? sim::usageText() : sim::versionText()).c_str(), stdout);
        return 0;
    }
    // The slave side stays open here: it keeps the line up between the terminal's opens and lets
    // the modules read the line settings the terminal chose.
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("portula-sim: pseudo-terminal");
        return 1;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    // Packet mode reports the terminal's flushes (each open, each command): a cue that what
    // the modules still had to say is no longer wanted.
    int one = 1;
    if (::ioctl(master, TIOCPKT, &one) != 0 ||
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        std::perror("portula-sim: pseudo-terminal mode");
        return 1;
    }
    const std::string path = name;
    termios t{};
    ::tcgetattr(slave, &t);
    termios raw{};
    uartce::platform::makeRawTermios(t, {o.baud, 8, o.parity, static_cast<std::int8_t>(o.stopBits)},
                                     raw);
    ::tcsetattr(slave, TCSANOW, &raw);

    int backplane = -1;
    int slot = 0;
    if (!o.backplane.empty()) {
        backplane = openBackplane(o.backplane);
        if (backplane < 0) {
            std::fprintf(stderr, "portula-sim: backplane socket %s: %s\n", o.backplane.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    sim::TruthLog truth;
    if (!o.truth.empty() && !truth.open(o.truth)) {
        std::fprintf(stderr, "portula-sim: truth file %s: %s\n", o.truth.c_str(),
                     std::strerror(errno));
        return 1;
    }

    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    sim::Line line(sim::moduleFor(o), sim::lineConfigFor(o));
    const auto record = [&] {
        if (truth.isOpen() && !truth.write(line.takeTruth())) {
            std::fprintf(stderr, "portula-sim: truth file %s: %s\n", o.truth.c_str(),
                         std::strerror(errno));
            std::exit(1);
        }
    };
    char buffer[4097];
    for (;;) {
        line.advance(Clock::now());
        const auto now = Clock::now();
        const bool waiting = !line.ready().empty();
        pollfd fds[2] = {{master, static_cast<short>(POLLIN | (waiting ? POLLOUT : 0)), 0},
                         {backplane, POLLIN, 0}};
        const int r = ::poll(fds, backplane >= 0 ? 2 : 1, pollTimeout(line, now));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            std::perror("portula-sim: poll");
            return 1;
        }
        if (backplane >= 0 && (fds[1].revents & POLLIN)) {
            char message[32] = {};
            const ssize_t n = ::recv(backplane, message, sizeof message - 1, 0);
            if (n > 0 && std::sscanf(message, "slot %d", &slot) == 1 && slot >= 1 && slot <= 7) {
                for (sim::ModuleConfig& m : line.module().modules())
                    m.identity = sim::kBackplaneModules[static_cast<std::size_t>(slot - 1)];
                line.module().resetLine();
                if (o.verbose)
                    std::fprintf(stderr, "portula-sim: slot %d (%s)\n", slot,
                                 line.module().config().identity.name.c_str());
            }
        }
        // Reads everything waiting before answering: a module that lags behind a flood
        // would still be answering a client that has gone when the next one opens the line.
        for (bool more = (fds[0].revents & POLLIN) != 0; more;) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            more = n > 0;
            if (n > 0 && buffer[0] != TIOCPKT_DATA) {
                if (buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) {
                    const std::size_t dropped = line.flush();
                    record();
                    if (o.verbose && dropped != 0)
                        std::fprintf(stderr, "portula-sim: flushed, %zu bytes dropped\n", dropped);
                }
            } else if (n > 1) {
                const std::string_view bytes(buffer + 1, static_cast<std::size_t>(n - 1));
                if (o.verbose)
                    logBytes("<", bytes);
                // A mismatched line, or no module routed: nothing answers.
                const bool heard = lineMatches(slave, o) && (backplane < 0 || slot != 0);
                line.receive(bytes, Clock::now(), heard);
                record();
            }
        }
        // Everything due goes out in one write, as far as the line takes it.
        line.advance(Clock::now());
        const std::string_view out = line.ready();
        // A flush reported since the input was read makes these bytes stale, unless the
        // modules are to send regardless.
        pollfd flushed{master, POLLPRI, 0};
        if (out.empty() ||
            (!o.keepReplies && ::poll(&flushed, 1, 0) == 1 && (flushed.revents & POLLPRI)))
            continue;
        // Taken before the write, so the terminal can never have the bytes before their time.
        const auto written = Clock::now();
        const ssize_t n = ::write(master, out.data(), out.size());
        if (n > 0) {
            if (o.verbose)
                logBytes(">", out.substr(0, static_cast<std::size_t>(n)));
            line.consume(static_cast<std::size_t>(n), written);
            record();
        }
    }
}
