// Figures for the serial path, the dialog and start-up, each against a floor or a budget.
// Comparisons alternate their two sides sample by sample (A, B, A, B, ...) and report the median
// and 99th percentile of the per-pair ratios, so that a machine busy with other work slows both
// sides of a pair alike instead of one whole block. --check makes a figure past its limit fail
// the run. --help lists the figures and their limits.

#include "app/TerminalDlg.h"
#include "core/TerminalState.h"
#include "messaging/Receive.h"
#include "resources/Resources.h"
#include "sim/Module.h"
#include "support/Program.h"
#include "support/PseudoTerminal.h"
#include "ui/ControlIds.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <uartce.h>
#include <unistd.h>
#include <vector>

extern std::atomic<std::uint64_t> benchAllocations;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr std::uint8_t kPort = 9;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}
double median(const std::vector<double>& v) {
    return percentile(v, 0.5);
}

// One figure of the report: its value, and the limit it is judged by.
struct Figure {
    const char* name;
    const char* what; // for --help
    double limit;
    bool lowerIsBetter = true;
};

const Figure kFigures[] = {
    {"round-trip-ratio",
     "Send_Receive_Cmd against a bare blocking write and read of the same "
     "bytes to the same answering device; median of per-pair ratios",
     2.0},
    {"timeout-overrun-pct",
     "a command nobody answers, against its 200 ms time-out: median "
     "overrun in per cent (modules asked in turn, as a scan does)",
     10.0},
    {"late-listen-overrun-pct",
     "the same command again after it got no answer, against its 200 ms: it first "
     "listens one time-out for the late reply, so about 100 per cent",
     110.0},
    {"idle-tick-allocations", "heap allocations in one receive-poll tick with nothing waiting", 0},
    {"idle-tick-us", "time of one receive-poll tick with nothing waiting, microseconds", 20},
    {"receive-tick-us", "one poll tick that collects 1 KB and shows it, median microseconds", 1000},
    {"idle-cpu-pct",
     "CPU share of the dialog with the port open and nothing arriving, per cent "
     "of one core",
     0.5},
    {"autosend-latency-p99-ms",
     "99th percentile of how late a zero-delay timer runs while the "
     "dialog sends every 10 ms to an answering module, milliseconds",
     50},
    {"stream-blocked-writes",
     "writes that found the line full during a paced 11.5 KB/s stream "
     "(115200 baud) into the open dialog",
     0},
    {"stream-max-backlog-bytes",
     "the most bytes waiting in the kernel's line buffer during that "
     "stream; a real UART loses bytes once its 4 KB buffer is full",
     3072},
    {"startup-ratio",
     "process start to the first shown window, Portula against a bare Qt dialog "
     "of the same widgets built here; median of per-pair ratios",
     1.5},
    {"startup-rss-ratio", "resident memory once idle after start-up, the same pair", 1.3},
    {"startup-discovery-ratio",
     "start-up with a busy system to scan for ports (32 ttyS nodes, "
     "8 USB adapters, a map file) against one with nothing to find",
     1.1},
};

const Figure& figure(const char* name) {
    for (const Figure& f : kFigures)
        if (std::strcmp(f.name, name) == 0)
            return f;
    std::abort();
}

int failures = 0;

void report(const char* name, double value, const std::string& detail) {
    const Figure& f = figure(name);
    const bool pass = f.lowerIsBetter ? value <= f.limit : value >= f.limit;
    if (!pass)
        ++failures;
    std::printf("%-24s %10.3f  (limit %g)%s  %s\n", name, value, f.limit, pass ? "" : "  OVER",
                detail.c_str());
    std::fflush(stdout);
}

std::string format(const char* fmt, double a = 0, double b = 0, double c = 0, double d = 0) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, fmt, a, b, c, d);
    return buffer;
}

// Runs a and b alternately, samples times each, and returns the ratios a/b of each pair.
struct Paired {
    std::vector<double> a, b, ratio;
};
Paired interleave(int samples, const std::function<double()>& a, const std::function<double()>& b) {
    Paired out;
    for (int i = 0; i < samples; ++i) {
        // Which side goes first alternates too, so that neither always follows the other.
        const bool aFirst = i % 2 == 0;
        const double first = aFirst ? a() : b();
        const double second = aFirst ? b() : a();
        const double ta = aFirst ? first : second;
        const double tb = aFirst ? second : first;
        out.a.push_back(ta);
        out.b.push_back(tb);
        out.ratio.push_back(tb > 0 ? ta / tb : 0);
    }
    return out;
}

// A pseudo-terminal whose master side a thread plays as the simulated module.
class Device {
  public:
    Device() {
        ::setenv("UARTCE_COM9", m_pty.path().c_str(), 1);
        ::setenv("UARTCE_COM2", m_pty.path().c_str(), 1);
    }
    ~Device() { stop(); }
    void answer() {
        m_thread = std::thread([this] {
            sim::Module module{sim::ModuleConfig{}};
            char buffer[4096];
            while (!m_stop) {
                pollfd p{m_pty.master(), POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::read(m_pty.master(), buffer, sizeof buffer);
                if (n <= 0)
                    continue;
                const std::string reply = module.feed({buffer, static_cast<std::size_t>(n)});
                answered += static_cast<int>(std::count(reply.begin(), reply.end(), '\r'));
                if (!reply.empty() && ::write(m_pty.master(), reply.data(), reply.size()) < 0)
                    return;
            }
        });
    }
    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        m_stop = false;
    }
    int master() const { return m_pty.master(); }
    std::atomic<int> answered{0};
    const std::string& path() const { return m_pty.path(); }

  private:
    testsupport::PseudoTerminal m_pty;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

class BenchDlg : public CTerminalDlg {
  public:
    using CTerminalDlg::OnTimer;
};

void runEventLoopFor(std::chrono::milliseconds span) {
    QEventLoop loop;
    QTimer::singleShot(span, &loop, &QEventLoop::quit);
    loop.exec();
}

void roundTrip(int samples) {
    Device device;
    device.answer();
    Open_Com(kPort, 115200, 8, 0, 1);
    // The bare side: the same device, a blocking descriptor, the same bytes by hand.
    const int fd = ::open(device.path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    ::tcsetattr(fd, TCSANOW, &t);
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    const auto library = [&] {
        const auto t0 = Clock::now();
        Send_Receive_Cmd(kPort, "$01M", reply, 200, 0, nullptr);
        return micros(Clock::now() - t0);
    };
    const auto bare = [&] {
        const auto t0 = Clock::now();
        if (::write(fd, "$01M\r", 5) != 5)
            return 0.0;
        std::size_t got = 0;
        char buffer[64];
        while (got == 0 || buffer[got - 1] != '\r') {
            const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return micros(Clock::now() - t0);
    };
    const Paired p = interleave(samples, library, bare);
    ::close(fd);
    Close_Com(kPort);
    device.stop();
    report("round-trip-ratio", median(p.ratio),
           format("p99 ratio %.2f; Send_Receive_Cmd median %.1f us, bare %.1f us",
                  percentile(p.ratio, 0.99), median(p.a), median(p.b)));
}

void timeoutCost(int rounds) {
    Device device; // nobody answers
    Open_Com(kPort, 115200, 8, 0, 1);
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    std::vector<double> overrun, again;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        Send_Receive_Cmd(kPort, i % 2 ? "$01M" : "$02M", reply, 200, 0, nullptr);
        overrun.push_back((micros(Clock::now() - t0) / 200000.0 - 1) * 100);
        ::tcflush(device.master(), TCIFLUSH);
    }
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        Send_Receive_Cmd(kPort, "$01M", reply, 200, 0, nullptr);
        if (i > 0)
            again.push_back((micros(Clock::now() - t0) / 200000.0 - 1) * 100);
        ::tcflush(device.master(), TCIFLUSH);
    }
    Close_Com(kPort);
    report("timeout-overrun-pct", median(overrun),
           format("worst %.1f%%", percentile(overrun, 1.0)));
    report("late-listen-overrun-pct", median(again),
           format("worst %.1f%%", percentile(again, 1.0)));
}

void dialogFigures(bool quick) {
    Device device;
    terminalState = TerminalState{};
    BenchDlg dlg;
    dlg.Create();
    dlg.show();
    // Open COM2 (mapped to the device) through the dialog, as the operator would.
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_OPEN_COM), "click");
    if (!dlg.IsTimerRunning(RECEIVE_POLL_TIMER)) {
        std::printf("dialog figures: the port did not open\n");
        ++failures;
        return;
    }

    constexpr int kTicks = 10000;
    const auto allocationsBefore = benchAllocations.load();
    const auto t0 = Clock::now();
    for (int i = 0; i < kTicks; ++i)
        messaging::timerDispatch(dlg, terminalState, RECEIVE_POLL_TIMER);
    const double perTick = micros(Clock::now() - t0) / kTicks;
    const double allocationsPerTick =
        static_cast<double>(benchAllocations.load() - allocationsBefore) / kTicks;
    report("idle-tick-allocations", allocationsPerTick, "");
    report("idle-tick-us", perTick, "");

    // Module readings, as a module streaming values would send them: 1023 bytes in lines.
    std::vector<double> collect;
    std::string kilobyte;
    while (kilobyte.size() < 1023)
        kilobyte += ">+01.234+05.678-00.012+10.000\r\n";
    kilobyte.resize(1023);
    for (int i = 0; i < 200; ++i) {
        if (::write(device.master(), kilobyte.data(), kilobyte.size()) < 0)
            break;
        while (DataSizeInCom(2) < kilobyte.size()) {
        }
        // Lets the kernel's pseudo-terminal worker, which just delivered the bytes, finish on
        // this machine's other work before the tick is timed: a real port's driver runs in
        // interrupts, not beside the program.
        std::this_thread::sleep_for(5ms);
        const auto c0 = Clock::now();
        dlg.OnTimer(RECEIVE_POLL_TIMER);
        collect.push_back(micros(Clock::now() - c0));
    }
    report("receive-tick-us", median(collect), format("95th %.0f us", percentile(collect, 0.95)));

    // Idle program, once the repaints that the ticks above left behind are done.
    runEventLoopFor(500ms);
    const auto idleSpan = quick ? 2000ms : 10000ms;
    rusage r0{};
    ::getrusage(RUSAGE_SELF, &r0);
    const auto w0 = Clock::now();
    runEventLoopFor(idleSpan);
    rusage r1{};
    ::getrusage(RUSAGE_SELF, &r1);
    auto cpuUs = [](const rusage& r) {
        return r.ru_utime.tv_sec * 1e6 + r.ru_utime.tv_usec + r.ru_stime.tv_sec * 1e6 +
               r.ru_stime.tv_usec;
    };
    report("idle-cpu-pct", (cpuUs(r1) - cpuUs(r0)) / micros(Clock::now() - w0) * 100,
           format("over %.0f s, port open", static_cast<double>(idleSpan.count()) / 1000));

    // Automatic sending every 10 ms to a module that answers; a probe measures how late the
    // event loop serves a zero-delay timer meanwhile.
    device.answer();
    dlg.SetDlgItemText(IDC_INTERVAL, QStringLiteral("10"));
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_SET), "click");
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_START), "click");
    std::vector<double> latency;
    QElapsedTimer probe;
    QTimer prober;
    prober.setInterval(3);
    QObject::connect(&prober, &QTimer::timeout, [&] {
        probe.start();
        // Tied to the prober, so that none still queued outlives this function.
        QTimer::singleShot(0, &prober, [&] { latency.push_back(probe.nsecsElapsed() / 1e6); });
    });
    prober.start();
    const auto busy = quick ? 1000ms : 3000ms;
    runEventLoopFor(busy);
    prober.stop();
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_STOP), "click");
    report("autosend-latency-p99-ms", percentile(latency, 0.99),
           format("%.0f commands answered a second; median %.2f ms, worst %.1f ms",
                  device.answered * 1000.0 / static_cast<double>(busy.count()), median(latency),
                  percentile(latency, 1.0)));
    device.stop();
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_CLOSE_COM), "click");
}

// A steady stream at 115200 baud's byte rate, paced in 10 ms pieces by a writer that never
// waits: every write that finds the line full counts. The dialog polls on its own timer.
void pacedStream(std::chrono::seconds span) {
    Device device;
    terminalState = TerminalState{};
    BenchDlg dlg;
    dlg.Create();
    dlg.show();
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_MODE_LF), "click");
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_OPEN_COM), "click");
    ::fcntl(device.master(), F_SETFL, ::fcntl(device.master(), F_GETFL) | O_NONBLOCK);
    constexpr std::size_t kBytesPerSecond = 11520; // 115200 baud, 10 bits a byte
    constexpr std::size_t kPiece = kBytesPerSecond / 100;
    std::atomic<bool> done{false};
    std::atomic<int> blocked{0};
    std::atomic<std::size_t> sent{0};
    std::atomic<int> maxBacklog{0};
    // Another descriptor on the line: FIONREAD on it tells what waits in the line's buffer.
    const int observer = ::open(device.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    std::thread writer([&] {
        const std::string piece(kPiece, 'S');
        auto next = Clock::now();
        while (!done) {
            std::size_t off = 0;
            while (off < piece.size()) {
                const ssize_t n = ::write(device.master(), piece.data() + off, piece.size() - off);
                if (n > 0) {
                    off += static_cast<std::size_t>(n);
                    sent += static_cast<std::size_t>(n);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                ++blocked; // the line is full: a real UART would lose these bytes
                break;
            }
            next += 10ms;
            std::this_thread::sleep_until(next);
            int waiting = 0;
            if (::ioctl(observer, FIONREAD, &waiting) == 0 && waiting > maxBacklog)
                maxBacklog = waiting;
        }
    });
    runEventLoopFor(span);
    done = true;
    writer.join();
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_CLOSE_COM), "click");
    ::close(observer);
    report("stream-blocked-writes", blocked,
           format("%.0f bytes in %.0f s", static_cast<double>(sent.load()),
                  static_cast<double>(span.count())));
    report("stream-max-backlog-bytes", maxBacklog, "");
}

// --- start-up: this program started again as a child that shows one window and reports --------

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        long value = 0;
        if (key == "VmRSS:" && status >> value)
            return value;
        status.ignore(1 << 12, '\n');
    }
    return -1;
}

// The same widgets as the terminal's dialog, made straight from Qt with nothing behind them.
void buildBareDialog(QDialog& dialog) {
    const fw::DialogTemplate& tpl = dialogTemplate(IDD_PORTULA_DIALOG);
    dialog.setWindowTitle(QString::fromUtf8(tpl.title));
    dialog.setFixedSize(tpl.width * 2, tpl.height * 2);
    for (const fw::ControlTemplate& ct : tpl.controls) {
        const QString caption = QString::fromUtf8(ct.caption ? ct.caption : "");
        QWidget* w = nullptr;
        switch (ct.kind) {
        case fw::ControlKind::StaticText:
            w = new QLabel(caption, &dialog);
            break;
        case fw::ControlKind::GroupBox:
            w = new QGroupBox(caption, &dialog);
            break;
        case fw::ControlKind::PushButton:
            w = new QPushButton(caption, &dialog);
            break;
        case fw::ControlKind::CheckBox:
            w = new QCheckBox(caption, &dialog);
            break;
        case fw::ControlKind::RadioButton:
            w = new QRadioButton(caption, &dialog);
            break;
        case fw::ControlKind::ComboBox: {
            auto* combo = new QComboBox(&dialog);
            for (const fw::ListContent& list : tpl.lists)
                if (list.controlId == ct.id)
                    for (const char* entry : list.entries)
                        combo->addItem(QString::fromUtf8(entry));
            w = combo;
            break;
        }
        case fw::ControlKind::Edit:
            w = new QLineEdit(&dialog);
            break;
        case fw::ControlKind::MultiLineEdit:
            w = new QPlainTextEdit(&dialog);
            break;
        }
        w->setGeometry(ct.x * 2, ct.y * 2, ct.width * 2, ct.height * 2);
    }
}

// In the child: shows the window, prints the monotonic time it was first exposed, lets the
// program settle, prints its resident memory.
int startupChild(int argc, char** argv, bool portula) {
    QApplication app(argc, argv);
    std::unique_ptr<QDialog> window;
    if (portula) {
        auto dlg = std::make_unique<CTerminalDlg>();
        dlg->Create();
        window = std::move(dlg);
    } else {
        window = std::make_unique<QDialog>();
        buildBareDialog(*window);
    }
    window->show();
    while (!window->windowHandle() || !window->windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    QCoreApplication::processEvents();
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("%lld %ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
    runEventLoopFor(300ms);
    std::printf("%ld\n", residentKiB());
    return 0;
}

struct StartupSample {
    double ms;
    double rssKiB;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

StartupSample startOnce(const char* self, bool portula, const Environment& env = {}) {
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    testsupport::Program child({self, "--startup-child", portula ? "portula" : "bare"},
                               {.environment = env});
    child.finish(std::chrono::seconds(30));
    const std::string& text = child.out();
    long long sec = 0;
    long nsec = 0;
    long rss = 0;
    if (std::sscanf(text.c_str(), "%lld %ld %ld", &sec, &nsec, &rss) != 3)
        return {};
    const double ms = static_cast<double>(sec - start.tv_sec) * 1e3 +
                      static_cast<double>(nsec - start.tv_nsec) / 1e6;
    return {ms, static_cast<double>(rss)};
}

void startup(const char* self, int samples) {
    std::vector<double> rssPortula, rssBare;
    const Paired p = interleave(
        samples,
        [&] {
            const StartupSample s = startOnce(self, true);
            rssPortula.push_back(s.rssKiB);
            return s.ms;
        },
        [&] {
            const StartupSample s = startOnce(self, false);
            rssBare.push_back(s.rssKiB);
            return s.ms;
        });
    report("startup-ratio", median(p.ratio),
           format("p99 ratio %.2f; Portula median %.1f ms, bare dialog %.1f ms",
                  percentile(p.ratio, 0.99), median(p.a), median(p.b)));
    std::vector<double> rssRatio;
    for (std::size_t i = 0; i < rssPortula.size() && i < rssBare.size(); ++i)
        rssRatio.push_back(rssBare[i] > 0 ? rssPortula[i] / rssBare[i] : 0);
    report("startup-rss-ratio", median(rssRatio),
           format("Portula %.0f KiB, bare dialog %.0f KiB", median(rssPortula), median(rssBare)));
}

// A system as a busy desktop shows it to the port scan: 32 ttyS nodes (two with a UART behind
// them), eight USB adapters under serial/by-id, and a map file; and one with nothing at all.
struct ScanTrees {
    std::string busy;
    std::string empty;
    std::vector<int> adapters; // pseudo-terminals the by-id links point at
};

ScanTrees makeScanTrees() {
    char pattern[] = "/tmp/portula-bench-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    ScanTrees t{root + "/busy", root + "/empty", {}};
    auto write = [](const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    };
    for (const std::string& dir : {t.busy + "/dev/serial/by-id", t.busy + "/etc/portula",
                                   t.empty + "/dev", t.empty + "/sys", t.empty + "/etc"})
        std::filesystem::create_directories(dir);
    for (int k = 0; k < 32; ++k) {
        const std::string name = "ttyS" + std::to_string(k);
        write(t.busy + "/dev/" + name, "");
        std::filesystem::create_directories(t.busy + "/sys/class/tty/" + name);
        write(t.busy + "/sys/class/tty/" + name + "/type", k < 2 ? "4\n" : "0\n");
    }
    for (int a = 0; a < 8; ++a) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master);
        ::unlockpt(master);
        t.adapters.push_back(master);
        std::filesystem::create_symlink(::ptsname(master),
                                        t.busy + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K" +
                                            std::to_string(a) + "-if00-port0");
    }
    write(t.busy + "/etc/portula/ports.conf",
          "# the bench's map\nCOM9 = rfc2217://127.0.0.1:4001\n");
    return t;
}

Environment scanEnvironment(const std::string& tree) {
    return {{"UARTCE_DEV_ROOT", tree + "/dev"},
            {"UARTCE_SYS_ROOT", tree + "/sys"},
            {"UARTCE_SYSCONF_DIR", tree + "/etc"},
            {"XDG_CONFIG_HOME", tree + "/etc"}};
}

void startupDiscovery(const char* self, int samples) {
    const ScanTrees trees = makeScanTrees();
    const Paired p = interleave(
        samples, [&] { return startOnce(self, true, scanEnvironment(trees.busy)).ms; },
        [&] { return startOnce(self, true, scanEnvironment(trees.empty)).ms; });
    report("startup-discovery-ratio", median(p.ratio),
           format("p99 ratio %.2f; busy system %.1f ms, nothing to find %.1f ms",
                  percentile(p.ratio, 0.99), median(p.a), median(p.b)));
    for (int fd : trees.adapters)
        ::close(fd);
    std::filesystem::remove_all(std::filesystem::path(trees.busy).parent_path());
}

void help() {
    std::printf("Usage: portula_bench [--quick] [--check]\n"
                "Prints one line a figure: its name, its value, its limit. Run it on an otherwise\n"
                "idle machine; --quick takes fewer samples, --check exits 1 when a figure is\n"
                "past its limit.\n\nFigures:\n");
    for (const Figure& f : kFigures)
        std::printf("  %-24s limit %g\n      %s\n", f.name, f.limit, f.what);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 3 && std::strcmp(argv[1], "--startup-child") == 0)
        return startupChild(argc, argv, std::strcmp(argv[2], "portula") == 0);
    bool quick = false;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else {
            help();
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    const char* self = "/proc/self/exe";
    {
        QApplication app(argc, argv);
        roundTrip(quick ? 200 : 2000);
        timeoutCost(quick ? 3 : 10);
        dialogFigures(quick);
        pacedStream(quick ? 5s : 20s);
    }
    startup(self, quick ? 6 : 20);
    startupDiscovery(self, quick ? 6 : 20);
    if (check && failures > 0) {
        std::printf("%d figure(s) past their limits\n", failures);
        return 1;
    }
    return 0;
}
