// portula-sim: a simulated serial I/O module on a pseudo-terminal.
//
// Prints the pseudo-terminal's device path on its first line of output; point the terminal at
// it with UARTCE_COM<n>=<path>. Runs until it is stopped.

#include "posix/LineSettings.h"
#include "sim/Module.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

struct Options {
    sim::ModuleConfig module;
    std::uint32_t baud = 9600;
    int stopBits = 1;
    int delayMs = 0;
    std::string backplane;
    bool verbose = false;
};

void usage() {
    std::fputs("usage: portula-sim [options]\n"
               "  --address AA     module address, two hex digits (default 01)\n"
               "  --baud N         the module's baud rate (default 9600)\n"
               "  --stop-bits N    1 or 2 (default 1)\n"
               "  --checksum       commands and replies carry checksums\n"
               "  --echo           return every byte received instead of answering commands\n"
               "  --delay-ms N     wait N milliseconds before each answer\n"
               "  --backplane PATH hold a module in each of slots 1 to 7, switched through the\n"
               "                   datagram socket PATH (set KORVEXSDK_BACKPLANE=PATH for the\n"
               "                   terminal); the module in the selected slot answers\n"
               "  --verbose        log traffic on standard error\n",
               stderr);
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char*& v) {
            if (i + 1 >= argc)
                return false;
            v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (a == "--checksum")
            o.module.checksum = true;
        else if (a == "--echo")
            o.module.echo = true;
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--address" && value(v) && std::strlen(v) == 2)
            o.module.address = v;
        else if (a == "--baud" && value(v))
            o.baud = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
        else if (a == "--stop-bits" && value(v))
            o.stopBits = std::atoi(v);
        else if (a == "--delay-ms" && value(v))
            o.delayMs = std::atoi(v);
        else if (a == "--backplane" && value(v))
            o.backplane = v;
        else
            return false;
    }
    speed_t speed;
    return uartce::platform::baudConstant(o.baud, speed) && (o.stopBits == 1 || o.stopBits == 2);
}

// The line as the terminal set it up matches the module's own settings.
bool lineMatches(int slave, const Options& o) {
    termios t{};
    if (::tcgetattr(slave, &t) != 0)
        return false;
    speed_t expected;
    uartce::platform::baudConstant(o.baud, expected);
    const bool twoStops = (t.c_cflag & CSTOPB) != 0;
    return cfgetospeed(&t) == expected && twoStops == (o.stopBits == 2);
}

int openBackplane(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path)
        return -1;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("portula-sim: pseudo-terminal");
        return 1;
    }
    const std::string path = ::ptsname(master);
    // Holding the slave side open keeps the line up between the terminal's opens and lets the
    // module read the line settings the terminal chose.
    const int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        std::perror("portula-sim: slave side");
        return 1;
    }
    termios t{};
    ::tcgetattr(slave, &t);
    termios raw{};
    uartce::platform::makeRawTermios(t, {o.baud, 8, 0, static_cast<std::int8_t>(o.stopBits)}, raw);
    ::tcsetattr(slave, TCSANOW, &raw);

    int backplane = -1;
    int slot = 0;
    if (!o.backplane.empty()) {
        backplane = openBackplane(o.backplane);
        if (backplane < 0) {
            std::perror("portula-sim: backplane socket");
            return 1;
        }
    }

    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    sim::Module module(o.module);
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{master, POLLIN, 0}, {backplane, POLLIN, 0}};
        const int r = ::poll(fds, backplane >= 0 ? 2 : 1, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return 1;
        if (backplane >= 0 && (fds[1].revents & POLLIN)) {
            char message[32] = {};
            const ssize_t n = ::recv(backplane, message, sizeof message - 1, 0);
            if (n > 0 && std::sscanf(message, "slot %d", &slot) == 1 && slot >= 1 && slot <= 7) {
                module.config().identity =
                    sim::kBackplaneModules[static_cast<std::size_t>(slot - 1)];
                module.resetLine();
                if (o.verbose)
                    std::fprintf(stderr, "portula-sim: slot %d (%s)\n", slot,
                                 module.config().identity.name.c_str());
            }
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        const std::string_view bytes(buffer, static_cast<std::size_t>(n));
        if (!lineMatches(slave, o) || (backplane >= 0 && slot == 0)) {
            module.resetLine(); // a mismatched line, or no module routed: nothing answers
            continue;
        }
        const std::string reply = module.feed(bytes);
        if (o.verbose)
            std::fprintf(stderr, "portula-sim: got %zd bytes, answering %zu\n", n, reply.size());
        if (reply.empty())
            continue;
        if (o.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
        writeAll(master, reply);
    }
}
