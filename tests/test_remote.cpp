// Ports on the network: ser2net in front of simulated modules, over RFC 2217 and raw TCP.

#include "support/AsUser.h"
#include "support/Ser2net.h"
#include "support/SimProcess.h"

#include <uartce.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace testsupport {
// Names the protocol in test listings (found by argument-dependent lookup).
void PrintTo(Ser2net::Protocol protocol, std::ostream* os) {
    *os << (protocol == Ser2net::Protocol::Rfc2217 ? "rfc2217" : "raw tcp");
}
} // namespace testsupport

namespace {

using namespace std::chrono_literals;
using testsupport::Ser2net;
using testsupport::SimProcess;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kPort = 9;

std::string lastError() {
    char text[512];
    UARTCE_LastError(kPort, text, sizeof text);
    return text;
}

struct Reply {
    std::uint16_t status;
    std::string text;
};

Reply command(const char* cmd, std::uint16_t timeoutMs = 1000) {
    std::array<char, UARTCE_REPLY_BUFFER_SIZE> reply{};
    const std::uint16_t status = Send_Receive_Cmd(kPort, cmd, reply.data(), timeoutMs, 0, nullptr);
    return {status, reply.data()};
}

class RemoteTest : public ::testing::Test {
  protected:
    void TearDown() override {
        Close_Com(kPort);
        ::unsetenv("UARTCE_COM9");
    }
    void use(const std::string& device) { ::setenv("UARTCE_COM9", device.c_str(), 1); }
};

class BothProtocols : public RemoteTest, public ::testing::WithParamInterface<Ser2net::Protocol> {};

TEST_P(BothProtocols, CommandsPollsAndEveryByteValueGetThrough) {
    SimProcess module(PORTULA_SIM_PATH, {});
    SimProcess echo(PORTULA_SIM_PATH, {"--echo"});
    ASSERT_FALSE(module.device().empty());
    ASSERT_FALSE(echo.device().empty());
    Ser2net server({{GetParam(), module.device()}, {GetParam(), echo.device()}});
    ASSERT_TRUE(server.running()) << server.log();

    use(server.url(0));
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError();
    for (int i = 0; i < 3; ++i) {
        const Reply r = command("$01M");
        EXPECT_EQ(r.status, UARTCE_OK);
        EXPECT_EQ(r.text, "!01PORTULA-SIM");
    }
    EXPECT_EQ(command("$01F").text, "!01A1.07");
    EXPECT_EQ(command("$02M", 200).status, UARTCE_ERR_NO_REPLY);
    ASSERT_EQ(Close_Com(kPort), UARTCE_OK);

    // Every byte value but zero (the receive buffer is a string), 0xFF included.
    std::string all;
    for (int b = 1; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    use(server.url(1));
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError();
    ASSERT_EQ(Send_Binary(kPort, all.data(), static_cast<std::uint32_t>(all.size())), UARTCE_OK);
    std::string back;
    const auto deadline = Clock::now() + 5s;
    while (back.size() < all.size() && Clock::now() < deadline) {
        if (DataSizeInCom(kPort) == 0)
            continue;
        char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
        std::uint32_t out = 0;
        ASSERT_EQ(Receive_Cmd(kPort, chunk, 200, 0, &out), UARTCE_OK);
        back.append(chunk, out);
    }
    EXPECT_EQ(back, all);
    EXPECT_EQ(DataSizeInCom(kPort), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ser2net, BothProtocols,
                         ::testing::Values(Ser2net::Protocol::Rfc2217, Ser2net::Protocol::Raw),
                         [](const auto& info) {
                             return std::string(
                                 info.param == Ser2net::Protocol::Rfc2217 ? "Rfc2217" : "RawTcp");
                         });

TEST_F(RemoteTest, TheBaudRateSetOverRfc2217ReachesTheModulesLine) {
    SimProcess module(PORTULA_SIM_PATH, {});
    Ser2net server({{Ser2net::Protocol::Rfc2217, module.device()}});
    ASSERT_TRUE(server.running()) << server.log();
    use(server.url(0));
    ASSERT_EQ(Open_Com(kPort, 19200, 8, 0, 1), UARTCE_OK) << lastError();
    EXPECT_EQ(command("$01M", 300).status, UARTCE_ERR_NO_REPLY) << "the module's line differs";
    Close_Com(kPort);
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError();
    EXPECT_EQ(command("$01M").text, "!01PORTULA-SIM");
    Close_Com(kPort);
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 2), UARTCE_OK) << lastError();
    EXPECT_EQ(command("$01M", 300).status, UARTCE_ERR_NO_REPLY) << "two stop bits reach it too";
}

TEST_F(RemoteTest, StoppingTheServerMidSessionIsAHangUp) {
    SimProcess module(PORTULA_SIM_PATH, {});
    for (const Ser2net::Protocol protocol : {Ser2net::Protocol::Rfc2217, Ser2net::Protocol::Raw}) {
        Ser2net server({{protocol, module.device()}});
        ASSERT_TRUE(server.running()) << server.log();
        use(server.url(0));
        ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError();
        EXPECT_EQ(command("$01M").status, UARTCE_OK);
        server.stop();
        EXPECT_EQ(command("$01M", 5000).status, UARTCE_ERR_HANGUP);
        char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
        EXPECT_EQ(Receive_Cmd(kPort, chunk, 200, 0, nullptr), UARTCE_ERR_HANGUP);
        EXPECT_EQ(Send_Binary(kPort, "x", 1), UARTCE_ERR_HANGUP);
        EXPECT_EQ(DataSizeInCom(kPort), 0u);
        EXPECT_EQ(Close_Com(kPort), UARTCE_OK);
    }
}

// A TCP socket listening on 127.0.0.1 at a port the kernel chose; port receives it.
int listenOnLoopback(int backlog, int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, backlog);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

// A listening socket that never accepts: connections complete in the kernel and stay silent,
// and once its queue is full, further ones get no answer at all.
class SilentListener {
  public:
    SilentListener() { m_fd = listenOnLoopback(0, m_port); }
    ~SilentListener() {
        for (int fd : m_fillers)
            ::close(fd);
        ::close(m_fd);
    }
    // Fills the accept queue so that the next connect hangs.
    void fill() {
        for (int i = 0; i < 2; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(m_port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            m_fillers.push_back(fd);
        }
    }
    int port() const { return m_port; }

  private:
    int m_fd = -1;
    int m_port = 0;
    std::vector<int> m_fillers;
};

TEST_F(RemoteTest, ServersThatCannotServeAreRefusedOpensWithTheirReason) {
    SilentListener silent;
    SilentListener full;
    full.fill();
    const int closed = testsupport::freeLocalPort();
    struct Case {
        std::string device;
        std::uint16_t status;
        std::string says;
    };
    const Case cases[] = {
        {.device = "socket://127.0.0.1:" + std::to_string(closed),
         .status = UARTCE_ERR_NO_DEVICE,
         .says = "connection refused by 127.0.0.1:"},
        {.device = "rfc2217://127.0.0.1:" + std::to_string(closed),
         .status = UARTCE_ERR_NO_DEVICE,
         .says = "connection refused by 127.0.0.1:"},
        {.device = "rfc2217://127.0.0.1:" + std::to_string(silent.port()),
         .status = UARTCE_ERR_OPEN_FAILED,
         .says = "did not confirm the line settings"},
        {.device = "socket://127.0.0.1:" + std::to_string(full.port()),
         .status = UARTCE_ERR_OPEN_FAILED,
         .says = "no connection to 127.0.0.1:" + std::to_string(full.port()) + " within 2 s"},
        {.device = "rfc2217://127.0.0.1",
         .status = UARTCE_ERR_OPEN_FAILED,
         .says = "expected rfc2217://HOST:PORT"},
        // A port number past 65535 must not wrap round to another server.
        {.device = "socket://127.0.0.1:" + std::to_string(65536 + silent.port()),
         .status = UARTCE_ERR_OPEN_FAILED,
         .says = "malformed URL (the TCP port must be a number from 1 to 65535, not '" +
                 std::to_string(65536 + silent.port()) + "')"},
        {.device = "socket://127.0.0.1:0",
         .status = UARTCE_ERR_OPEN_FAILED,
         .says = "malformed URL (the TCP port must"},
        {.device = "rfc2217://127.0.0.1:65536",
         .status = UARTCE_ERR_OPEN_FAILED,
         .says = "malformed URL (the TCP port must"},
        {.device = "socket://no-such-host.invalid:80",
         .status = UARTCE_ERR_NO_DEVICE,
         .says = "cannot resolve"},
    };
    for (const Case& c : cases) {
        use(c.device);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Open_Com(kPort, 9600, 8, 0, 1), c.status) << c.device;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        if (c.status == UARTCE_ERR_NO_DEVICE) {
            EXPECT_NE(err.find("; check UARTCE_COM9"), std::string::npos) << err;
        }
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(DataSizeInCom(kPort), 0u);
    }
}

} // namespace

namespace {

// A server on 127.0.0.1 that, once a client connects, sends `unit` over and over until stopped.
class StreamingServer {
  public:
    explicit StreamingServer(std::string unit) : m_unit(std::move(unit)) {
        m_listener = listenOnLoopback(1, m_port);
        m_thread = std::thread([this] {
            const int client = ::accept(m_listener, nullptr, nullptr);
            std::string burst;
            while (burst.size() < 4096)
                burst += m_unit;
            while (client >= 0 && !m_stop)
                if (::send(client, burst.data(), burst.size(), MSG_NOSIGNAL) < 0)
                    break;
            if (client >= 0)
                ::close(client);
        });
    }
    ~StreamingServer() {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_thread.join();
    }
    int port() const { return m_port; }

  private:
    std::string m_unit;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A server that floods data and never confirms the line settings: the open is refused within
// its bound, and what is held meanwhile stays within a reply buffer (the process's peak memory
// grows by far less than the hundreds of megabytes such a server sends).
TEST_F(RemoteTest, AFloodBeforeTheSettingsAreConfirmedIsNotHeld) {
    for (const std::string& unit : {std::string("A"), std::string("\xFF\xFF")}) {
        StreamingServer server(unit);
        use("rfc2217://127.0.0.1:" + std::to_string(server.port()));
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        const auto start = Clock::now();
        testing::internal::CaptureStderr();
        EXPECT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_ERR_OPEN_FAILED);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_LT(Clock::now() - start, 3s);
        EXPECT_NE(err.find("did not confirm the line settings within 2 s"), std::string::npos)
            << err;
        rusage after{};
        ::getrusage(RUSAGE_SELF, &after);
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "kB more at the peak";
    }
}

// A name server that never answers: the open, look-up included, keeps to its 2 s. The case runs
// in a child with a network of its own (loopback only) whose resolver is a socket on 127.0.0.1
// that takes queries and drops them.
TEST(RemoteLookUp, ANameServerThatNeverAnswersDoesNotHoldTheOpen) {
    if (::geteuid() != 0)
        GTEST_FAIL() << "needs root for a network namespace of its own; CI runs as root";
    testsupport::Child child(
        [](int) {
            if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                std::perror("unshare");
                return 2;
            }
            const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq lo{};
            std::strcpy(lo.ifr_name, "lo");
            lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
            if (::ioctl(control, SIOCSIFFLAGS, &lo) != 0) {
                std::perror("lo up");
                return 2;
            }
            char conf[] = "/tmp/portula-resolv-XXXXXX";
            const int fd = ::mkstemp(conf);
            const std::string text = "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n";
            if (fd < 0 ||
                ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
                ::mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
                std::perror("resolv.conf");
                return 2;
            }
            ::close(fd);
            ::unlink(conf);
            // The name server: it reads the queries (so none is refused) and answers none.
            const int dns = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(53);
            at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(dns, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
                std::perror("bind 53");
                return 2;
            }
            ::res_init();
            ::setenv("UARTCE_COM9", "socket://nosuch.invalid:4001", 1);
            const auto start = Clock::now();
            const std::uint16_t status = Open_Com(kPort, 9600, 8, 0, 1);
            const auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            std::fprintf(stderr, "status %u after %lld ms\n", status,
                         static_cast<long long>(spent.count()));
            return status == UARTCE_ERR_OPEN_FAILED && spent < 3s ? 0 : 1;
        },
        testsupport::Privileges::Keep);
    const testsupport::ChildResult r = child.finish(20s);
    EXPECT_TRUE(r.exited) << r.stderrText;
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    EXPECT_NE(r.stderrText.find("no answer from the name server for nosuch.invalid within 2 s"),
              std::string::npos)
        << r.stderrText;
}

// A peer that never stops sending data without a CR must not keep a command past its time-out.
TEST_F(RemoteTest, AnEndlessStreamDoesNotHoldACommandPastItsTimeOut) {
    struct Case {
        const char* scheme;
        std::string unit;
        std::uint16_t status;
    };
    const Case cases[] = {
        {.scheme = "socket://", .unit = "A", .status = UARTCE_ERR_REPLY_TOO_LONG},
        {.scheme = "socket://", .unit = "AB", .status = UARTCE_ERR_REPLY_TOO_LONG},
    };
    for (const Case& c : cases) {
        StreamingServer server(c.unit);
        use(std::string(c.scheme) + "127.0.0.1:" + std::to_string(server.port()));
        ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError();
        for (int i = 0; i < 3; ++i) {
            const auto start = Clock::now();
            EXPECT_EQ(command("$01M", 200).status, c.status) << c.scheme << c.unit;
            EXPECT_LT(Clock::now() - start, 2s) << c.scheme << c.unit;
        }
        Close_Com(kPort);
    }
}

} // namespace

namespace {

// An RFC 2217 server that confirms the line settings and the purge at open, then no purge
// again (as one whose far end stalls), and answers "$01M" with "!01X".
class ForgetfulServer {
  public:
    ForgetfulServer() {
        m_listener = listenOnLoopback(1, m_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~ForgetfulServer() {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_thread.join();
    }
    int port() const { return m_port; }

  private:
    static std::string sb(std::initializer_list<int> payload) {
        std::string out{'\xFF', '\xFA', 44};
        for (int b : payload)
            out.push_back(static_cast<char>(b));
        return out + "\xFF\xF0";
    }
    void serve() {
        const int client = ::accept(m_listener, nullptr, nullptr);
        if (client < 0)
            return;
        const std::string hello = std::string("\xFF\xFD\x2C", 3) + sb({101, 0, 0, 0x25, 0x80}) +
                                  sb({102, 8}) + sb({103, 1}) + sb({104, 1});
        ::send(client, hello.data(), hello.size(), MSG_NOSIGNAL);
        const std::string purge("\xFF\xFA\x2C\x0C", 4);
        std::string seen;
        bool confirmed = false;
        std::size_t answered = 0;
        while (!m_stop) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char chunk[512];
            const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            seen.append(chunk, static_cast<std::size_t>(n));
            if (!confirmed && seen.find(purge) != std::string::npos) {
                const std::string yes =
                    sb({112, static_cast<unsigned char>(seen[seen.find(purge) + 4])});
                ::send(client, yes.data(), yes.size(), MSG_NOSIGNAL);
                confirmed = true;
            }
            for (std::size_t at; (at = seen.find("$01M\r", answered)) != std::string::npos;) {
                answered = at + 5;
                ::send(client, "!01X\r", 5, MSG_NOSIGNAL);
            }
        }
        ::close(client);
    }

    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A purge the server no longer confirms must not stretch a command past its time-out, and is
// not waited for again.
TEST_F(RemoteTest, AnUnconfirmedPurgeKeepsToTheCommandsTimeOut) {
    ForgetfulServer server;
    use("rfc2217://127.0.0.1:" + std::to_string(server.port()));
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError();
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        const Reply r = command("$01M", 60);
        const auto took = Clock::now() - start;
        EXPECT_EQ(r.status, UARTCE_OK) << i;
        EXPECT_EQ(r.text, "!01X") << i;
        // The first command may spend half its time-out on the purge, and the first on a remote
        // port listens for one time-out for answers meant for an earlier client.
        EXPECT_LT(took, i == 0 ? 250ms : 100ms) << i;
    }
}

} // namespace
