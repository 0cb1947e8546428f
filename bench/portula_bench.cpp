// Figures for the serial path and the dialog, printed side by side.
//
//   command round trip   Send_Receive_Cmd against a bare write and read of the same bytes
//   time-out cost        Send_Receive_Cmd with no answer, against its time-out
//   idle poll tick       one tick of the receive poll with nothing waiting
//   1 KB receive tick    one tick that collects 1 KB and updates the receive field
//   idle program         CPU share of the dialog with the port open and nothing arriving
//   auto-send at 10 ms   event-loop latency while sending every 10 ms
//
// Usage: portula_bench [--quick]

#include "app/TerminalDlg.h"
#include "core/TerminalState.h"
#include "messaging/Receive.h"
#include "sim/Module.h"
#include "ui/ControlIds.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <uartce.h>
#include <unistd.h>
#include <vector>

extern std::atomic<std::uint64_t> benchAllocations;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kPort = 9;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// A pseudo-terminal whose master side a thread plays as the simulated module.
class Device {
  public:
    Device() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(m_master);
        ::unlockpt(m_master);
        m_path = ::ptsname(m_master);
        ::setenv("UARTCE_COM9", m_path.c_str(), 1);
        ::setenv("UARTCE_COM2", m_path.c_str(), 1);
    }
    ~Device() {
        stop();
        ::close(m_master);
    }
    void answer() {
        m_thread = std::thread([this] {
            sim::Module module{sim::ModuleConfig{}};
            char buffer[4096];
            while (!m_stop) {
                pollfd p{m_master, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::read(m_master, buffer, sizeof buffer);
                if (n <= 0)
                    continue;
                const std::string reply = module.feed({buffer, static_cast<std::size_t>(n)});
                answered += static_cast<int>(std::count(reply.begin(), reply.end(), '\r'));
                if (!reply.empty() && ::write(m_master, reply.data(), reply.size()) < 0)
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
    int master() const { return m_master; }
    std::atomic<int> answered{0};
    const std::string& path() const { return m_path; }

  private:
    int m_master = -1;
    std::string m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

class BenchDlg : public CTerminalDlg {
  public:
    using CTerminalDlg::OnTimer;
};

// Opens the port on the device, times `rounds` commands of 200 ms time-out, closes it.
// between() runs after each command, outside the timing.
template <typename Between> std::vector<double> timeCommands(int rounds, Between between) {
    Open_Com(kPort, 115200, 8, 0, 1);
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    std::vector<double> took;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        Send_Receive_Cmd(kPort, "$01M", reply, 200, 0, nullptr);
        took.push_back(micros(Clock::now() - t0));
        between();
    }
    Close_Com(kPort);
    return took;
}

void roundTrip(int rounds) {
    Device device;
    device.answer();
    const std::vector<double> library = timeCommands(rounds, [] {});
    device.stop();

    // The same bytes, written and read back by hand on a blocking descriptor.
    device.answer();
    const int fd = ::open(device.path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    ::tcsetattr(fd, TCSANOW, &t);
    std::vector<double> bare;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        if (::write(fd, "$01M\r", 5) != 5)
            break;
        std::size_t got = 0;
        char buffer[64];
        while (got == 0 || buffer[got - 1] != '\r') {
            const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        bare.push_back(micros(Clock::now() - t0));
    }
    ::close(fd);
    device.stop();
    std::printf("command round trip     Send_Receive_Cmd median %8.1f us   bare write+read "
                "median %8.1f us   ratio %.2f (limit 2.00)\n",
                median(library), median(bare), median(library) / median(bare));
}

void timeoutCost(int rounds) {
    Device device; // nobody answers
    std::vector<double> took = timeCommands(rounds, [&] { ::tcflush(device.master(), TCIFLUSH); });
    for (double& t : took)
        t /= 1000.0; // milliseconds
    std::printf("time-out cost          time-out 200 ms: median %.1f ms, worst %.1f ms   "
                "overrun %.1f%% (limit 10%%)\n",
                median(took), percentile(took, 1.0), (percentile(took, 1.0) / 200.0 - 1) * 100);
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
        std::printf("dialog figures         the port did not open\n");
        return;
    }

    // Idle poll tick.
    constexpr int kTicks = 10000;
    const auto allocationsBefore = benchAllocations.load();
    const auto t0 = Clock::now();
    for (int i = 0; i < kTicks; ++i)
        messaging::timerDispatch(dlg, terminalState, RECEIVE_POLL_TIMER);
    const double perTick = micros(Clock::now() - t0) / kTicks;
    const double allocationsPerTick =
        static_cast<double>(benchAllocations.load() - allocationsBefore) / kTicks;
    std::printf("idle poll tick         %.2f us a tick, %.2f heap allocations a tick (limit 0)\n",
                perTick, allocationsPerTick);

    // Ticks that collect 1 KB each: the receive field holds up to 2 KB of text.
    std::vector<double> collect;
    // Module readings, as a module streaming values would send them: 1023 bytes in lines.
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto c0 = Clock::now();
        dlg.OnTimer(RECEIVE_POLL_TIMER);
        collect.push_back(micros(Clock::now() - c0));
    }
    std::printf("1 KB receive tick      median %.0f us, 95th %.0f us (limit 1000 us)\n",
                median(collect), percentile(collect, 0.95));

    // Idle program: the event loop with the poll timer running, once the repaints that the
    // ticks above left behind are done.
    QEventLoop settle;
    QTimer::singleShot(500, &settle, &QEventLoop::quit);
    settle.exec();
    const int idleMs = quick ? 2000 : 10000;
    rusage r0{};
    ::getrusage(RUSAGE_SELF, &r0);
    const auto w0 = Clock::now();
    QEventLoop idle;
    QTimer::singleShot(idleMs, &idle, &QEventLoop::quit);
    idle.exec();
    rusage r1{};
    ::getrusage(RUSAGE_SELF, &r1);
    auto cpuUs = [](const rusage& r) {
        return r.ru_utime.tv_sec * 1e6 + r.ru_utime.tv_usec + r.ru_stime.tv_sec * 1e6 +
               r.ru_stime.tv_usec;
    };
    const double share = (cpuUs(r1) - cpuUs(r0)) / micros(Clock::now() - w0) * 100;
    std::printf("idle program           %.3f%% of one core over %d s, port open (limit 0.5%%)\n",
                share, idleMs / 1000);

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
        QTimer::singleShot(0, [&] { latency.push_back(probe.nsecsElapsed() / 1000.0); });
    });
    prober.start();
    const int busyMs = quick ? 1000 : 3000;
    QEventLoop busy;
    QTimer::singleShot(busyMs, &busy, &QEventLoop::quit);
    busy.exec();
    prober.stop();
    QMetaObject::invokeMethod(dlg.GetDlgItem(IDC_CLOSE_COM), "click");
    std::printf("auto-send at 10 ms     %.0f commands answered a second; event-loop latency "
                "median %.0f us, 99th %.0f us, worst %.0f us\n",
                device.answered * 1000.0 / busyMs, median(latency), percentile(latency, 0.99),
                percentile(latency, 1.0));
    device.stop();
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    QApplication app(argc, argv);
    roundTrip(quick ? 200 : 2000);
    timeoutCost(quick ? 3 : 10);
    dialogFigures(quick);
    return 0;
}
