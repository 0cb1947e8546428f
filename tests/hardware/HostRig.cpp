// portula-rig: runs the hardware tests in an emulated machine, against the Linux 8250 and
// ftdi_sio drivers.
//
// Boots the guest prepared by prepare-guest.sh with a second 16550 and an FTDI USB adapter,
// each wired to a portula-sim on a host pseudo-terminal, the host's root shared read-only (the
// guest runs this very build) and a writable share for the results. While the guest's tests
// run, it serves their requests: unplugging and plugging the adapter through QMP, and the line
// settings the guest's drivers programmed and the 16550's modem-control writes, from QEMU's
// trace of its device models. Prints the
// guest's test output and "rig: N passed, N failed"; exits 0 only when every test ran and
// passed. A guest that cannot boot, or does not finish in time, fails the run with the reason.

#include "RigDevices.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Options {
    std::string guestDir = PORTULA_RIG_GUEST_DIR; // vmlinuz and initrd.gz
    std::string tests = PORTULA_RIG_TESTS_PATH;   // the guest's test program
    std::string sim = PORTULA_SIM_PATH;
    std::string guestScript = PORTULA_RIG_GUEST_SCRIPT;
    std::string filter;
    // A whole run takes 20 to 40 s here; this bounds a guest that hangs well inside the
    // stage's 4 minutes, build included.
    int timeoutSeconds = 150;
    bool keep = false;
};

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "portula-rig: %s\n", why.c_str());
    std::printf("rig: 0 passed, 1 failed\n");
    std::exit(1);
}

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A child that dies with this process however it ends (a guest with broken acceleration spins
// forever otherwise), with its standard output and error where the caller wants them.
pid_t spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "portula-rig: cannot run %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
}

// Reads one line from fd within the deadline; nullopt when none came.
std::optional<std::string> readLine(int fd, std::string& buffer, Clock::time_point deadline) {
    for (;;) {
        const std::size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, msLeft(deadline));
        if (ready <= 0)
            return std::nullopt;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// A simulated module on a pseudo-terminal; the device it prints is what QEMU connects to.
struct Sim {
    pid_t pid = -1;
    std::string device;
};

Sim startSim(const std::string& program) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        fail("pipe: " + std::string(std::strerror(errno)));
    Sim s;
    s.pid = spawn({program}, out[1], 2);
    ::close(out[1]);
    std::string buffer;
    const auto line = readLine(out[0], buffer, Clock::now() + 10s);
    ::close(out[0]);
    if (!line || line->empty())
        fail(program + " printed no device within 10 s");
    s.device = *line;
    return s;
}

int connectUnix(const fs::path& path, Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path)
        fail("socket path too long: " + path.native());
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    while (Clock::now() < deadline) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        ::close(fd);
        // QEMU makes the socket at start-up: a short pause before the next try.
        ::poll(nullptr, 0, 20);
    }
    return -1;
}

// QEMU's machine protocol: one JSON object a line. Events that arrive while a command waits
// for its answer are kept for waitEvent.
class Qmp {
  public:
    explicit Qmp(int fd) : m_fd(fd) {}

    // The answer line of a command, or an empty string when none came within the deadline.
    std::string command(const std::string& json, Clock::time_point deadline) {
        writeAll(m_fd, json + "\n");
        while (auto line = readLine(m_fd, m_buffer, deadline)) {
            if (line->find("\"return\"") != std::string::npos ||
                line->find("\"error\"") != std::string::npos)
                return *line;
            m_events.push_back(*line);
        }
        return {};
    }
    bool waitEvent(const std::string& event, const std::string& device,
                   Clock::time_point deadline) {
        const auto matches = [&](const std::string& line) {
            return line.find("\"" + event + "\"") != std::string::npos &&
                   line.find("\"" + device + "\"") != std::string::npos;
        };
        for (auto it = m_events.begin(); it != m_events.end(); ++it)
            if (matches(*it)) {
                m_events.erase(it);
                return true;
            }
        while (auto line = readLine(m_fd, m_buffer, deadline))
            if (matches(*line))
                return true;
        return false;
    }

  private:
    int m_fd;
    std::string m_buffer;
    std::vector<std::string> m_events;
};

// The line settings QEMU's device models report in their trace lines, as the guest's drivers
// last programmed them.
struct Wire {
    std::string uart;
    std::string adapterBaud;
    std::string adapterData;

    void take(const std::string& line) {
        static const std::regex uartLine(
            R"(serial_update_parameters baudrate=(\d+) parity='(\w)' data=(\d+) stop=(\d+))");
        static const std::regex baudLine(R"(usb_serial_set_baud dev \S+ baud rate (\d+))");
        static const std::regex dataLine(
            R"(usb_serial_set_data dev \S+ parity (\w), data bits (\d+), stop bits (\d+))");
        std::smatch m;
        if (std::regex_search(line, m, uartLine))
            uart = "baud=" + m[1].str() + " parity=" + m[2].str() + " data=" + m[3].str() +
                   " stop=" + m[4].str();
        else if (std::regex_search(line, m, baudLine))
            adapterBaud = "baud=" + m[1].str();
        else if (std::regex_search(line, m, dataLine))
            adapterData = "parity=" + m[1].str() + " data=" + m[2].str() + " stop=" + m[3].str();
    }
};

// The values the guest's 8250 driver wrote to the 16550's modem-control register (DTR, RTS, the
// interrupt gate OUT2), in order, since the last reset. serial_write traces every register
// write, each data byte included: only a write to the MCR is kept, and the line is told from
// the others without a regular expression. The console's 16550 traces the same event; its MCR
// is written as the guest boots and opens the console, not while the tests run.
struct ModemControl {
    std::vector<unsigned> written;

    void take(const std::string& line) {
        static constexpr std::string_view kEvent = "serial_write write addr 0x04 val 0x";
        const std::size_t at = line.find(kEvent);
        if (at != std::string::npos)
            written.push_back(static_cast<unsigned>(
                std::strtoul(line.c_str() + at + kEvent.size(), nullptr, 16)));
    }
    std::string text() const {
        std::string out = "ok";
        for (unsigned value : written) {
            char hex[8];
            std::snprintf(hex, sizeof hex, " %02x", value);
            out += hex;
        }
        return out;
    }
};

class Rig {
  public:
    Rig(Options o, fs::path dir) : m_o(std::move(o)), m_dir(std::move(dir)) {}

    int run() {
        for (const char* file : {"vmlinuz", "initrd.gz"})
            if (!fs::exists(fs::path(m_o.guestDir) / file))
                fail((fs::path(m_o.guestDir) / file).string() +
                     " is missing: run tests/hardware/prepare-guest.sh first");
        if (!fs::exists(m_o.tests))
            fail("the guest's test program " + m_o.tests + " is not built");
        const Sim uart = startSim(m_o.sim);
        const Sim adapter = startSim(m_o.sim);
        writeGuestEnvironment();
        startQemu(uart.device, adapter.device);
        const auto deadline = Clock::now() + std::chrono::seconds(m_o.timeoutSeconds);
        const int qmpFd = connectUnix(m_dir / "qmp.sock", Clock::now() + 10s);
        const int controlFd = connectUnix(m_dir / "control.sock", Clock::now() + 10s);
        if (qmpFd < 0 || controlFd < 0)
            failWithConsole("QEMU did not open its sockets within 10 s");
        m_qmp.emplace(qmpFd);
        std::string greeting;
        if (!readLine(qmpFd, greeting, Clock::now() + 10s) ||
            m_qmp->command(R"({"execute":"qmp_capabilities"})", Clock::now() + 10s).empty())
            failWithConsole("QEMU's QMP did not answer");
        serve(controlFd, deadline);
        ::kill(uart.pid, SIGTERM);
        ::kill(adapter.pid, SIGTERM);
        return report();
    }

  private:
    void writeGuestEnvironment() {
        std::ofstream env(m_dir / "rig.env");
        env << "export PORTULA_RIG_GUEST=" << shellQuoted(m_o.guestScript) << "\n"
            << "export PORTULA_RIG_TESTS=" << shellQuoted(m_o.tests) << "\n"
            << "export PORTULA_RIG_FILTER=" << shellQuoted(m_o.filter) << "\n";
    }

    void startQemu(const std::string& uartPty, const std::string& adapterPty) {
        const std::string d = m_dir.string();
        const std::vector<std::string> argv = {
            "qemu-system-x86_64",
            // TCG, never KVM: nested KVM does not work on the machines CI runs on (the CPU
            // models abort or hang after the BIOS), and a guest on broken KVM spins forever.
            "-accel",
            "tcg",
            "-machine",
            "pc",
            "-m",
            "1024",
            "-smp",
            "1",
            "-nodefaults",
            "-no-reboot",
            "-display",
            "none",
            "-kernel",
            m_o.guestDir + "/vmlinuz",
            "-initrd",
            m_o.guestDir + "/initrd.gz",
            "-append",
            "console=ttyS0 panic=-1 loglevel=4",
            "-chardev",
            "file,id=console,path=" + d + "/console.log",
            "-device",
            "isa-serial,chardev=console,index=0",
            "-virtfs",
            "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
            "-virtfs",
            "local,path=" + d + ",mount_tag=results,security_model=none",
            // The 16550 the tests use (ttyS1) and the FTDI adapter (ttyUSB0), each on a
            // simulated module's pseudo-terminal, whose settings follow what the driver programs.
            "-chardev",
            "serial,id=uart,path=" + uartPty,
            "-device",
            "isa-serial,chardev=uart,index=1",
            "-device",
            "qemu-xhci,id=xhci",
            "-chardev",
            "serial,id=adapter,path=" + adapterPty,
            "-device",
            adapterDevice(1),
            "-device",
            "virtio-serial-pci",
            "-chardev",
            "socket,id=control,path=" + d + "/control.sock,server=on,wait=off",
            "-device",
            std::string("virtserialport,chardev=control,name=") + rig::kControlPortName,
            "-qmp",
            "unix:" + d + "/qmp.sock,server=on,wait=off",
            "-trace",
            "serial_update_parameters",
            "-trace",
            "usb_serial_set_baud",
            "-trace",
            "usb_serial_set_data",
            "-trace",
            "usb_serial_unsupported_*",
            // Every register write of both 16550s, the data bytes included; see ModemControl.
            "-trace",
            "serial_write",
        };
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0)
            fail("pipe: " + std::string(std::strerror(errno)));
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        m_qemu = spawn(argv, devNull, err[1]);
        ::close(err[1]);
        ::close(devNull);
        m_qemuErr = err[0];
    }

    static std::string adapterDevice(int socket) {
        return "usb-serial,bus=xhci.0,port=" + std::to_string(socket) +
               ",chardev=adapter,id=ftdi0,serial=" + rig::kAdapterSerial;
    }

    // QEMU's standard error: trace lines feed the wire settings, the rest is kept for a report.
    void drainQemuErr(int waitMs = 0) {
        pollfd p{m_qemuErr, POLLIN, 0};
        while (::poll(&p, 1, waitMs) > 0) {
            char chunk[4096];
            const ssize_t n = ::read(m_qemuErr, chunk, sizeof chunk);
            if (n <= 0) {
                m_qemuErr = -1;
                return;
            }
            m_errBuffer.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t end; (end = m_errBuffer.find('\n')) != std::string::npos;) {
                const std::string line = m_errBuffer.substr(0, end);
                m_errBuffer.erase(0, end + 1);
                if (line.find("serial_write") != std::string::npos)
                    m_modemControl.take(line);
                else if (line.find("serial_") != std::string::npos)
                    m_wire.take(line);
                else
                    m_qemuMessages += line + "\n";
            }
            waitMs = 0;
        }
    }

    std::string handle(const std::string& request) {
        std::istringstream words(request);
        std::string verb, arg;
        words >> verb >> arg;
        const auto soon = Clock::now() + 10s;
        if (verb == "unplug") {
            if (m_socket == 0)
                return "error the adapter is not plugged in";
            // The moment the test asked for, while it waits in a call of its own.
            if (!arg.empty())
                ::poll(nullptr, 0, std::atoi(arg.c_str()));
            const std::string answer =
                m_qmp->command(R"({"execute":"device_del","arguments":{"id":"ftdi0"}})", soon);
            if (answer.find("\"return\"") == std::string::npos)
                return "error device_del: " + answer;
            if (!m_qmp->waitEvent("DEVICE_DELETED", "ftdi0", soon))
                return "error the adapter was not removed within 10 s";
            m_socket = 0;
            return "ok";
        }
        if (verb == "plug") {
            const int socket = std::atoi(arg.c_str());
            if (socket != 1 && socket != 2)
                return "error no USB socket " + arg;
            if (m_socket != 0)
                return "error the adapter is plugged in already";
            std::string json = R"({"execute":"device_add","arguments":{"driver":"usb-serial",)"
                               R"("id":"ftdi0","chardev":"adapter","bus":"xhci.0","serial":")";
            json += std::string(rig::kAdapterSerial) + R"(","port":")" + arg + R"("}})";
            const std::string answer = m_qmp->command(json, soon);
            if (answer.find("\"return\"") == std::string::npos)
                return "error device_add: " + answer;
            m_socket = socket;
            return "ok";
        }
        if (verb == "wire") {
            drainQemuErr();
            if (arg == "uart")
                return m_wire.uart.empty() ? "error no settings seen" : "ok " + m_wire.uart;
            if (arg == "adapter")
                return m_wire.adapterBaud.empty() || m_wire.adapterData.empty()
                           ? "error no settings seen"
                           : "ok " + m_wire.adapterBaud + " " + m_wire.adapterData;
        }
        if (verb == "mcr-reset" && arg == "uart") {
            drainQemuErr();
            m_modemControl.written.clear();
            return "ok";
        }
        if (verb == "mcr" && arg == "uart") {
            drainQemuErr();
            return m_modemControl.text();
        }
        return "error unknown request: " + request;
    }

    // Answers the guest's requests until QEMU ends (the guest powers off) or the deadline.
    void serve(int controlFd, Clock::time_point deadline) {
        std::string buffer;
        for (;;) {
            int status = 0;
            if (::waitpid(m_qemu, &status, WNOHANG) == m_qemu) {
                m_qemu = -1;
                drainQemuErr();
                return;
            }
            if (Clock::now() >= deadline) {
                ::kill(m_qemu, SIGKILL);
                ::waitpid(m_qemu, &status, 0);
                failWithConsole("the guest did not finish within " +
                                std::to_string(m_o.timeoutSeconds) + " s");
            }
            pollfd p[2] = {{controlFd, POLLIN, 0}, {m_qemuErr, POLLIN, 0}};
            // The timeout only bounds how late QEMU's end is noticed.
            ::poll(p, m_qemuErr >= 0 ? 2 : 1, 100);
            if (p[1].revents)
                drainQemuErr();
            if (!(p[0].revents & POLLIN))
                continue;
            char chunk[512];
            const ssize_t n = ::read(controlFd, chunk, sizeof chunk);
            if (n <= 0)
                continue;
            buffer.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
                const std::string request = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                writeAll(controlFd, handle(request) + "\n");
            }
        }
    }

    [[noreturn]] void failWithConsole(const std::string& why) {
        if (m_qemu > 0) {
            ::kill(m_qemu, SIGKILL);
            ::waitpid(m_qemu, nullptr, 0);
        }
        drainQemuErr();
        std::fprintf(stderr, "--- QEMU ---\n%s--- guest console (end) ---\n%s\n",
                     m_qemuMessages.c_str(), tail(readFile(m_dir / "console.log"), 40).c_str());
        fail(why);
    }

    static std::string tail(const std::string& text, int lines) {
        std::size_t at = text.size();
        for (int i = 0; i <= lines && at != std::string::npos && at > 0; ++i)
            at = text.rfind('\n', at - 1);
        return at == std::string::npos ? text : text.substr(at + 1);
    }

    static int attribute(const std::string& xml, const std::string& name) {
        std::smatch m;
        const std::regex pattern("<testsuites[^>]*\\s" + name + "=\"(\\d+)\"");
        return std::regex_search(xml, m, pattern) ? std::stoi(m[1].str()) : 0;
    }

    int report() {
        const std::string log = readFile(m_dir / "test.log");
        std::fputs(log.c_str(), stdout);
        std::string status = readFile(m_dir / "status");
        while (!status.empty() && status.back() == '\n')
            status.pop_back();
        const std::string xml = readFile(m_dir / "results.xml");
        if (status.empty() || xml.empty())
            failWithConsole("the guest ended without results" +
                            (status.empty() ? std::string() : " (status " + status + ")"));
        const int tests = attribute(xml, "tests");
        const int failed = attribute(xml, "failures") + attribute(xml, "errors");
        // A skipped case proves nothing about the drivers: the rig counts it as failed.
        int skipped = 0;
        for (std::size_t at = 0; (at = xml.find("result=\"skipped\"", at)) != std::string::npos;
             ++at)
            ++skipped;
        const int passed = tests - failed - skipped;
        if (skipped > 0)
            std::fprintf(stderr, "portula-rig: %d cases skipped themselves\n", skipped);
        std::printf("rig: %d passed, %d failed\n", passed, failed + skipped);
        const bool ok = std::atoi(status.c_str()) == 0 && tests > 0 && failed == 0 && skipped == 0;
        if (!ok && tests == 0)
            std::fprintf(stderr, "portula-rig: the guest ran no test\n");
        return ok ? 0 : 1;
    }

    Options m_o;
    fs::path m_dir;
    pid_t m_qemu = -1;
    int m_qemuErr = -1;
    std::string m_errBuffer;
    std::string m_qemuMessages;
    Wire m_wire;
    ModemControl m_modemControl;
    std::optional<Qmp> m_qmp;
    int m_socket = 1; // the USB socket the adapter is in; 0 while unplugged
};

void usage(int status) {
    std::printf("usage: portula-rig [--filter GTEST_FILTER] [--timeout SECONDS] [--keep]\n"
                "Boots the emulated machine and runs the hardware tests in it.\n"
                "--keep leaves the run's folder (console, udev and test logs) in place.\n");
    std::exit(status);
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--filter" && i + 1 < argc)
            o.filter = argv[++i];
        else if (a == "--timeout" && i + 1 < argc)
            o.timeoutSeconds = std::atoi(argv[++i]);
        else if (a == "--keep")
            o.keep = true;
        else if (a == "-h" || a == "--help")
            usage(0);
        else
            usage(2);
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::string pattern = (fs::temp_directory_path() / "portula-rig-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        fail("cannot make a folder for the run: " + std::string(std::strerror(errno)));
    const fs::path dir = pattern;
    const int status = Rig(o, dir).run();
    if (o.keep || status != 0)
        std::fprintf(stderr, "portula-rig: the run's logs are in %s\n", dir.c_str());
    else
        fs::remove_all(dir);
    return status;
}
