// The kernel RS-485 mode on a real driver: the arm64 guest's PL011 (uart-pl011, /dev/ttyAMA0),
// whose host end is a simulated module on a pseudo-terminal. What the library sets is read back
// here through the driver itself, apart from the library.

#include <uartce.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kDevice = "/dev/ttyAMA0";
// QEMU's PL011 model does not pass the guest's line settings on to its host end, which keeps
// the 115200 baud QEMU opened it with; the simulated module listens at that rate, and so the
// guest uses it too.
constexpr std::uint32_t kBaud = 115200;

// A mode as the rows spell it, for the library and for the driver.
struct Mode {
    std::uint8_t enabled = 1, rtsOnSend = 1, rtsAfterSend = 0, rxDuringTx = 0, terminateBus = 0;
    std::uint32_t before = 0, after = 0;

    uartce_rs485 api() const {
        uartce_rs485 m{};
        m.size = sizeof m;
        m.enabled = enabled;
        m.rtsOnSend = rtsOnSend;
        m.rtsAfterSend = rtsAfterSend;
        m.rxDuringTx = rxDuringTx;
        m.terminateBus = terminateBus;
        m.delayBeforeMs = before;
        m.delayAfterMs = after;
        return m;
    }
    serial_rs485 kernel() const {
        serial_rs485 k{};
        k.flags = (enabled ? SER_RS485_ENABLED : 0u) | (rtsOnSend ? SER_RS485_RTS_ON_SEND : 0u) |
                  (rtsAfterSend ? SER_RS485_RTS_AFTER_SEND : 0u) |
                  (rxDuringTx ? SER_RS485_RX_DURING_TX : 0u) |
                  (terminateBus ? SER_RS485_TERMINATE_BUS : 0u);
        k.delay_rts_before_send = before;
        k.delay_rts_after_send = after;
        return k;
    }
};

constexpr Mode kOff = {.enabled = 0, .rtsOnSend = 0};

std::string describe(const serial_rs485& k) {
    char text[96];
    std::snprintf(text, sizeof text, "flags 0x%x, delays %u/%u ms", k.flags,
                  k.delay_rts_before_send, k.delay_rts_after_send);
    return text;
}

// The mode as the driver keeps it, through a descriptor of this test's own.
std::optional<serial_rs485> driverMode() {
    const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    serial_rs485 k{};
    const bool read = ::ioctl(fd, TIOCGRS485, &k) == 0;
    ::close(fd);
    return read ? std::optional(k) : std::nullopt;
}

testing::AssertionResult driverKeeps(const Mode& mode) {
    const std::optional<serial_rs485> now = driverMode();
    if (!now)
        return testing::AssertionFailure() << "TIOCGRS485 failed: " << std::strerror(errno);
    const serial_rs485 want = mode.kernel();
    if (now->flags == want.flags && now->delay_rts_before_send == want.delay_rts_before_send &&
        now->delay_rts_after_send == want.delay_rts_after_send)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "the driver keeps " << describe(*now) << ", not " << describe(want);
}

// Puts the driver in a mode directly, as a mode set at boot or by another tool is.
bool setDirectly(const Mode& mode) {
    const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    serial_rs485 k = mode.kernel();
    const bool set = ::ioctl(fd, TIOCSRS485, &k) == 0;
    ::close(fd);
    return set;
}

int recordsLeft() {
    const std::string folder = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/portula";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    int count = 0;
    while (const dirent* e = ::readdir(dir))
        count += std::strncmp(e->d_name, "rs485-", 6) == 0;
    ::closedir(dir);
    return count;
}

std::string changesOf(std::uint8_t port) {
    char text[1024];
    UARTCE_Rs485Changes(port, text, sizeof text);
    return text;
}

// The PL011 open through the library while the object lives, whatever a case's assertions do.
class OpenPl011 {
  public:
    OpenPl011() { EXPECT_EQ(UARTCE_OpenDevice(kDevice, kBaud, 8, 0, 1, &m_port), UARTCE_OK); }
    ~OpenPl011() { close(); }
    OpenPl011(const OpenPl011&) = delete;
    OpenPl011& operator=(const OpenPl011&) = delete;
    operator std::uint8_t() const { return m_port; }
    std::uint16_t close() {
        return m_port ? Close_Com(std::exchange(m_port, 0)) : std::uint16_t{UARTCE_OK};
    }

  private:
    std::uint8_t m_port = 0;
};

class Pl011 : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(setDirectly(kOff)); }
    void TearDown() override { setDirectly(kOff); }
};

// What the driver does with each request, as the library reads it back and says it.
TEST_F(Pl011, TheModeIsTakenAndReadBackAndEachChangeIsSaid) {
    struct Case {
        const char* name;
        Mode asked, kept;
        const char* changes;
    };
    const Case cases[] = {
        {.name = "RTS high while sending, delays 5/7 ms",
         .asked = {.before = 5, .after = 7},
         .kept = {.before = 5, .after = 7},
         .changes = ""},
        {.name = "RTS low while sending, high after",
         .asked = {.rtsOnSend = 0, .rtsAfterSend = 1},
         .kept = {.rtsOnSend = 0, .rtsAfterSend = 1},
         .changes = ""},
        {.name = "receiving while sending",
         .asked = {.rxDuringTx = 1},
         .kept = {.rxDuringTx = 1},
         .changes = ""},
        {.name = "both RTS levels high",
         .asked = {.rtsOnSend = 1, .rtsAfterSend = 1},
         .kept = {.rtsOnSend = 1, .rtsAfterSend = 0},
         .changes = "RTS after sending: asked high, the driver keeps low"},
        {.name = "both RTS levels low",
         .asked = {.rtsOnSend = 0, .rtsAfterSend = 0},
         .kept = {.rtsOnSend = 1, .rtsAfterSend = 0},
         .changes = "RTS while sending: asked low, the driver keeps high"},
        {.name = "delays of a second",
         .asked = {.before = 1000, .after = 1000},
         .kept = {.before = 100, .after = 100},
         .changes = "delay before sending: asked 1000 ms, the driver keeps 100 ms\n"
                    "delay after sending: asked 1000 ms, the driver keeps 100 ms"},
        {.name = "bus termination without a GPIO for it",
         .asked = {.terminateBus = 1},
         .kept = {.terminateBus = 0},
         .changes = "bus termination: asked on, the driver keeps off"},
        {.name = "off, with delays",
         .asked = {.enabled = 0, .before = 5, .after = 7},
         .kept = kOff,
         .changes = ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenPl011 port;
        const uartce_rs485 asked = c.asked.api();
        uartce_rs485 kept{};
        kept.size = sizeof kept;
        ASSERT_EQ(UARTCE_SetRs485(port, &asked, &kept), UARTCE_OK) << changesOf(port);
        EXPECT_EQ(changesOf(port), c.changes);
        const uartce_rs485 want = c.kept.api();
        EXPECT_EQ(std::memcmp(&kept, &want, sizeof kept), 0)
            << "kept flags " << int(kept.enabled) << int(kept.rtsOnSend) << int(kept.rtsAfterSend)
            << int(kept.rxDuringTx) << int(kept.terminateBus) << ", delays " << kept.delayBeforeMs
            << "/" << kept.delayAfterMs;
        EXPECT_TRUE(driverKeeps(c.kept));
        ASSERT_EQ(port.close(), UARTCE_OK);
        EXPECT_TRUE(driverKeeps(kOff)) << "not given back at close";
    }
}

// A program of the test's own that takes the port and sets a mode, says "ready" and waits for
// a line; then it returns from main without closing the port.
constexpr Mode kChanged = {.rxDuringTx = 1, .before = 5, .after = 7};

int holdAndExit(const char* device) {
    std::uint8_t port = 0;
    if (UARTCE_OpenDevice(device, kBaud, 8, 0, 1, &port) != UARTCE_OK)
        return 2;
    const uartce_rs485 mode = kChanged.api();
    if (UARTCE_SetRs485(port, &mode, nullptr) != UARTCE_OK)
        return 3;
    std::printf("ready\n");
    std::fflush(stdout);
    char line[16];
    return std::fgets(line, sizeof line, stdin) ? 0 : 4;
}

class Holder {
  public:
    Holder() {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execl("/proc/self/exe", "rig-tests", "--hold", kDevice, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~Holder() {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_in);
        ::close(m_out);
    }
    bool ready(std::chrono::milliseconds within) {
        pollfd p{m_out, POLLIN, 0};
        char text[8] = {};
        return ::poll(&p, 1, static_cast<int>(within.count())) > 0 &&
               ::read(m_out, text, sizeof text - 1) > 0 && std::string(text) == "ready\n";
    }
    void letGo() const { (void)!::write(m_in, "\n", 1); }
    void kill() const { ::kill(m_pid, SIGKILL); }
    // How it ended: its exit status, 128 + the signal, or nothing within the time.
    std::optional<int> end(std::chrono::milliseconds within) {
        const auto deadline = Clock::now() + within;
        while (!m_status) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else if (Clock::now() >= deadline)
                break;
            else
                ::poll(nullptr, 0, 5);
        }
        return m_status;
    }

  private:
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1;
    std::optional<int> m_status;
};

enum class End { CloseCom, NormalExit, Killed };

struct GiveBack {
    const char* name;
    Mode before; // the mode the port had
    End end;
};

class ModeGivenBack : public testing::TestWithParam<GiveBack> {
  protected:
    void TearDown() override { setDirectly(kOff); }
};

// The mode the port had comes back however its holder ends: at Close_Com and at a normal exit
// through the library itself, after SIGKILL at the next open, by the record written before the
// change.
TEST_P(ModeGivenBack, HoweverItsHolderEnds) {
    const GiveBack& g = GetParam();
    ASSERT_TRUE(setDirectly(g.before));
    ASSERT_TRUE(driverKeeps(g.before)) << "the driver does not keep the starting mode";
    if (g.end == End::CloseCom) {
        OpenPl011 port;
        const uartce_rs485 mode = kChanged.api();
        ASSERT_EQ(UARTCE_SetRs485(port, &mode, nullptr), UARTCE_OK);
        EXPECT_TRUE(driverKeeps(kChanged));
        EXPECT_EQ(recordsLeft(), 1) << "the old mode is written down while the port has it";
        ASSERT_EQ(port.close(), UARTCE_OK);
        EXPECT_TRUE(driverKeeps(g.before));
        EXPECT_EQ(recordsLeft(), 0);
        return;
    }
    Holder holder;
    ASSERT_TRUE(holder.ready(10s)) << "the holder did not set the mode";
    EXPECT_TRUE(driverKeeps(kChanged));
    EXPECT_EQ(recordsLeft(), 1);
    if (g.end == End::NormalExit) {
        holder.letGo();
        ASSERT_EQ(holder.end(10s), std::optional(0));
        EXPECT_TRUE(driverKeeps(g.before)) << "not given back at exit";
        EXPECT_EQ(recordsLeft(), 0);
        return;
    }
    holder.kill();
    ASSERT_EQ(holder.end(10s), std::optional(128 + SIGKILL));
    // Nothing ran in the killed holder: the changed mode stays until the next open.
    EXPECT_TRUE(driverKeeps(kChanged));
    EXPECT_EQ(recordsLeft(), 1);
    OpenPl011 port;
    EXPECT_TRUE(driverKeeps(g.before)) << "not given back at the next open";
    EXPECT_EQ(recordsLeft(), 0);
    ASSERT_EQ(port.close(), UARTCE_OK);
    EXPECT_TRUE(driverKeeps(g.before));
}

std::string nameOf(const testing::TestParamInfo<GiveBack>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    Pl011, ModeGivenBack,
    testing::Values(GiveBack{.name = "off_close_com", .before = kOff, .end = End::CloseCom},
                    GiveBack{.name = "off_normal_exit", .before = kOff, .end = End::NormalExit},
                    GiveBack{.name = "off_killed", .before = kOff, .end = End::Killed},
                    GiveBack{.name = "after_send_close_com",
                             .before = {.rtsOnSend = 0, .rtsAfterSend = 1, .before = 3, .after = 4},
                             .end = End::CloseCom},
                    GiveBack{.name = "after_send_killed",
                             .before = {.rtsOnSend = 0, .rtsAfterSend = 1, .before = 3, .after = 4},
                             .end = End::Killed}),
    nameOf);

// Bytes still go out and replies still come in while the driver switches RTS: the simulated
// module on the host's end of the PL011 answers every command, and the delays the driver keeps
// are spent on the way out.
TEST_F(Pl011, TheModuleStillAnswersInRs485Mode) {
    struct Case {
        const char* name;
        Mode mode;
        std::chrono::milliseconds atLeast; // the round trip, with the delay before sending
    };
    const Case cases[] = {
        {.name = "RTS high while sending", .mode = {}, .atLeast = 0ms},
        {.name = "receiving while sending", .mode = {.rxDuringTx = 1}, .atLeast = 0ms},
        {.name = "RTS low while sending",
         .mode = {.rtsOnSend = 0, .rtsAfterSend = 1},
         .atLeast = 0ms},
        {.name = "100 ms delays", .mode = {.before = 100, .after = 100}, .atLeast = 100ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenPl011 port;
        const uartce_rs485 mode = c.mode.api();
        ASSERT_EQ(UARTCE_SetRs485(port, &mode, nullptr), UARTCE_OK) << changesOf(port);
        EXPECT_EQ(changesOf(port), "");
        for (const char* command : {"$01M", "$01F", "$01M"}) {
            char reply[UARTCE_REPLY_BUFFER_SIZE];
            const auto start = Clock::now();
            ASSERT_EQ(Send_Receive_Cmd(port, command, reply, 2000, 0, nullptr), UARTCE_OK)
                << command;
            EXPECT_GE(Clock::now() - start, c.atLeast) << command;
            if (std::string(command) == "$01M")
                EXPECT_STREQ(reply, "!01PORTULA-SIM");
            else
                EXPECT_EQ(reply[0], '!') << reply;
        }
        EXPECT_TRUE(driverKeeps(c.mode));
        uartce_drops drops{};
        drops.size = sizeof drops;
        ASSERT_EQ(UARTCE_Drops(port, &drops), UARTCE_OK);
        EXPECT_EQ(drops.garbledEchoes, 0u);
        ASSERT_EQ(port.close(), UARTCE_OK);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--hold")
        return holdAndExit(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
