#include "cmd/Plant.h"

#include "cmd/Inventory.h"

#include <uartce.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

extern char** environ;

namespace cmd {

namespace {

struct Bus {
    std::string port;
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string outText, errText; // what came and is not yet a whole line
    unsigned found = 0;
    int exit = -1;
};

// Every port the map names for this user (a map file's line or a UARTCE_COMn variable), as COMn.
std::vector<std::string> mappedPorts() {
    std::vector<std::string> ports;
    for (unsigned com = 1; com <= 255; ++com) {
        uartce_port_info info{};
        info.size = sizeof info;
        if (UARTCE_PortMapEntry(static_cast<std::uint8_t>(com), &info) != UARTCE_OK ||
            !info.assigned)
            continue;
        const std::string source = info.source;
        if (source == "discovered" || source == "built-in" || source == "default")
            continue;
        ports.push_back("COM" + std::to_string(com));
    }
    return ports;
}

bool start(Bus& bus, char** argv) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, kBusVariable, std::strlen(kBusVariable)) != 0)
            env.emplace_back(*e);
    env.push_back(std::string(kBusVariable) + "=" + bus.port);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    const int rc = ::posix_spawn(&bus.pid, "/proc/self/exe", &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        bus.pid = -1;
        return false;
    }
    bus.out = out[0];
    bus.err = err[0];
    return true;
}

// The whole lines of `pending`, taken out of it.
std::vector<std::string> wholeLines(std::string& pending) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t end; (end = pending.find('\n', from)) != std::string::npos; from = end + 1)
        lines.push_back(pending.substr(from, end - from));
    pending.erase(0, from);
    return lines;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (const char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

void print(const Options& o, const Module& m) {
    const std::string rate = m.baud ? std::to_string(m.baud) : "server";
    if (o.json)
        std::printf("%s\n", moduleJson(m).c_str());
    else if (o.csv)
        std::printf("%s,%s,%s,%s,%s,%s\n", csvField(m.port).c_str(), m.address.c_str(),
                    rate.c_str(), m.checksum ? "on" : "off", csvField(m.name).c_str(),
                    csvField(m.firmware.value_or("")).c_str());
    else
        std::printf("%-24s %-4s %-7s %-8s %-16s %s\n", escapeForLine(m.port).c_str(),
                    m.address.c_str(), rate.c_str(), m.checksum ? "on" : "off",
                    showBytes(m.name, false).c_str(),
                    showBytes(m.firmware.value_or("-"), false).c_str());
    std::fflush(stdout);
}

void printDifferences(const Options& o, const Differences& d) {
    if (!o.json && !o.csv) {
        std::fputs(describeDifferences(d).c_str(), stdout);
        return;
    }
    const auto one = [&](const char* change, const Module& m, const Module* before) {
        if (o.json)
            std::printf("{\"change\":\"%s\",\"module\":%s%s%s}\n", change, moduleJson(m).c_str(),
                        before ? ",\"before\":" : "", before ? moduleJson(*before).c_str() : "");
        else
            std::printf("%s,%s,%s\n", change, csvField(m.port).c_str(), m.address.c_str());
    };
    for (const Module& m : d.added)
        one("added", m, nullptr);
    for (const Module& m : d.missing)
        one("missing", m, nullptr);
    for (const Change& c : d.changed)
        one("changed", c.now, &c.before);
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

bool becomeBusWorker(Options& o, const char* bus) {
    if (!choosePort(bus)) {
        std::fprintf(stderr, "portula-cmd: %s: not a port name\n", escapeForLine(bus).c_str());
        return false;
    }
    o.port = bus;
    o.ports = {bus};
    o.json = true;
    o.csv = false;
    if (o.port.rfind("socket://", 0) == 0) {
        o.bauds = {o.bauds.front()};
        o.serverRate = true;
    }
    return true;
}

int scanPlant(const Options& o, char** argv, const std::function<bool()>& interrupted) {
    std::vector<Module> before;
    if (!o.compareFile.empty()) {
        std::ifstream in(o.compareFile, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        std::string why = in ? "" : std::strerror(errno);
        std::optional<std::vector<Module>> read;
        if (why.empty())
            read = parseInventory(text.str(), why);
        if (!read) {
            std::fprintf(stderr, "portula-cmd: --compare: %s: %s\n",
                         escapeForLine(o.compareFile).c_str(), why.c_str());
            return kExitUsage;
        }
        before = std::move(*read);
    }
    const std::vector<std::string> ports = o.mapPorts ? mappedPorts() : o.ports;
    if (ports.empty()) {
        std::fprintf(stderr, "portula-cmd: --map-ports: the port map names no port\n");
        return kExitPortRefused;
    }
    // Every bus goes at once: the plant takes the time of its slowest bus.
    std::fprintf(stderr,
                 "portula-cmd: scanning %zu bus%s at once, %zu address%s at %zu baud rate%s "
                 "each: %.1f s if none answers, at most %.1f s\n",
                 ports.size(), ports.size() == 1 ? "" : "es", o.addresses.size(),
                 o.addresses.size() == 1 ? "" : "es", o.bauds.size(),
                 o.bauds.size() == 1 ? "" : "s", scanSilentMs(o) / 1000.0,
                 scanWorstCaseMs(o) / 1000.0);
    const bool live = ::isatty(2);
    const bool listing = o.compareFile.empty();
    if (listing && o.csv)
        std::printf("port,address,baud,checksum,name,firmware\n");
    else if (listing && !o.json)
        std::printf("%-24s %-4s %-7s %-8s %-16s %s\n", "PORT", "ADDR", "BAUD", "CHECKSUM", "NAME",
                    "FIRMWARE");
    std::fflush(stdout);

    std::vector<Bus> buses(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        buses[i].port = ports[i];
        if (!start(buses[i], argv)) {
            std::fprintf(stderr, "portula-cmd: %s: cannot start its scan: %s\n",
                         escapeForLine(ports[i]).c_str(), std::strerror(errno));
            buses[i].exit = kExitLineError;
        }
    }
    std::vector<Module> found;
    bool stopping = false;
    for (;;) {
        if (interrupted() && !stopping) {
            stopping = true; // each bus stops after its command under way and says what it found
            for (const Bus& b : buses)
                if (b.pid > 0)
                    ::kill(b.pid, SIGINT);
        }
        std::vector<pollfd> fds;
        std::vector<std::pair<Bus*, bool>> owners; // the bus, and whether it is its output
        for (Bus& b : buses)
            for (const bool isOut : {true, false})
                if (const int fd = isOut ? b.out : b.err; fd >= 0) {
                    fds.push_back({fd, POLLIN, 0});
                    owners.emplace_back(&b, isOut);
                }
        if (fds.empty())
            break;
        if (::poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR)
            break;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            auto [bus, isOut] = owners[k];
            char chunk[4096];
            const ssize_t n = ::read(fds[k].fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                closeFd(isOut ? bus->out : bus->err);
                continue;
            }
            std::string& pending = isOut ? bus->outText : bus->errText;
            pending.append(chunk, static_cast<std::size_t>(n));
            for (const std::string& line : wholeLines(pending)) {
                if (!isOut) {
                    // The worker's own words, with its bus named.
                    const std::string_view said =
                        std::string_view(line).substr(line.rfind("portula-cmd: ", 0) == 0 ? 13 : 0);
                    if (live)
                        std::fprintf(stderr, "\r%70s\r", "");
                    std::fprintf(stderr, "portula-cmd: %s: %.*s\n",
                                 escapeForLine(bus->port).c_str(), static_cast<int>(said.size()),
                                 said.data());
                    continue;
                }
                std::optional<Module> m = parseModule(line);
                if (!m)
                    continue;
                m->port = bus->port; // as it was given here
                ++bus->found;
                found.push_back(*m);
                if (listing)
                    print(o, *m);
            }
        }
        if (live) {
            const auto done = std::count_if(buses.begin(), buses.end(),
                                            [](const Bus& b) { return b.out < 0 && b.err < 0; });
            std::fprintf(stderr, "\r%zu of %zu buses done, %zu modules found ",
                         static_cast<std::size_t>(done), buses.size(), found.size());
        }
    }
    if (live)
        std::fprintf(stderr, "\r%70s\r", "");

    bool failed = false;
    for (Bus& b : buses) {
        if (b.pid > 0) {
            int status = 0;
            while (::waitpid(b.pid, &status, 0) < 0 && errno == EINTR) {
            }
            b.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        const bool scanned = b.exit == kExitOk || b.exit == kExitNothingFound ||
                             (b.exit == kExitInterrupted && stopping);
        failed = failed || !scanned;
        std::fprintf(stderr, "portula-cmd: %s: %u module%s found%s\n",
                     escapeForLine(b.port).c_str(), b.found, b.found == 1 ? "" : "s",
                     scanned
                         ? (b.exit == kExitInterrupted ? " before the scan was stopped" : "")
                         : (", the scan failed (status " + std::to_string(b.exit) + ")").c_str());
    }
    // A plant's listing goes by port and address, whatever order the buses answered in.
    std::stable_sort(found.begin(), found.end(), [](const Module& a, const Module& b) {
        return std::tie(a.port, a.address) < std::tie(b.port, b.address);
    });
    if (!o.saveFile.empty() && !stopping) {
        std::ofstream out(o.saveFile, std::ios::binary | std::ios::trunc);
        out << inventoryJson(found);
        out.close();
        if (!out) {
            std::fprintf(stderr, "portula-cmd: --save: cannot write %s\n",
                         escapeForLine(o.saveFile).c_str());
            failed = true;
        }
    }
    bool differs = false;
    if (!o.compareFile.empty()) {
        const Differences d = compareInventories(before, found);
        differs = !d.empty();
        printDifferences(o, d);
        std::fprintf(stderr, "portula-cmd: %zu added, %zu missing, %zu changed\n", d.added.size(),
                     d.missing.size(), d.changed.size());
    }
    std::fflush(stdout);
    if (stopping)
        return kExitInterrupted;
    if (failed)
        return kExitBusFailed;
    if (differs)
        return kExitPlantDiffers;
    return found.empty() && o.compareFile.empty() ? kExitNothingFound : kExitOk;
}

} // namespace cmd
