// Serial servers on the network: a raw TCP byte stream, and Telnet with RFC 2217.

#include "Platform.h"
#include "Telnet.h"
#include "posix/FdIo.h"

#include <uartce.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace uartce::platform {

namespace {

// A remote open, look-up, connect and the server's answer to the line settings, takes no longer.
constexpr std::chrono::milliseconds kConnectLimit{2000};
// How long a write of the session's own bytes may stall.
constexpr std::chrono::milliseconds kSetupLimit{2000};
// Decoded data kept for the caller; past this the socket is left to fill and the server
// slows down, instead of the library growing.
constexpr std::size_t kMaxHeld = 64 * 1024;
constexpr std::size_t kMaxHeldBeforeSetup = UARTCE_REPLY_BUFFER_SIZE;
// How long a purge waits for the server's confirmation, and how many socket reads one read of
// line data may take while the server sends only protocol.
constexpr std::chrono::milliseconds kPurgeWait{300};
constexpr int kMaxPumpsPerRead = 16;

OpenResult refuse(int fd, std::uint16_t status, std::string reason) {
    if (fd >= 0)
        ::close(fd);
    return {nullptr, status, std::move(reason)};
}

struct Connected {
    int fd = -1;
    std::uint16_t status = UARTCE_OK;
    std::string reason;
    unsigned roundTripMs = 0; // the kernel's measure of the connection's round trip
};

// A name look-up that the caller can give up on. The resolver has time-outs of its own (5 s a
// query and more, per server); the look-up runs on a thread of its own, and a caller whose
// deadline passes leaves it to finish and clean up after itself.
class LookUp {
  public:
    static std::shared_ptr<LookUp> start(const std::string& host, const std::string& service) {
        auto lookUp = std::make_shared<LookUp>();
        std::thread([lookUp, host, service] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* found = nullptr;
            const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            const std::lock_guard<std::mutex> lock(lookUp->m_mutex);
            lookUp->m_rc = rc;
            lookUp->m_found = found;
            lookUp->m_done = true;
            lookUp->m_finished.notify_all();
        }).detach();
        return lookUp;
    }
    ~LookUp() {
        if (m_found)
            ::freeaddrinfo(m_found);
    }
    // The addresses, or null with rc set; false when the deadline passed first.
    bool wait(const Deadline& deadline, int& rc, addrinfo*& found) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_finished.wait_for(lock, std::chrono::milliseconds(deadline.remainingMs()),
                                 [this] { return m_done; }))
            return false;
        rc = m_rc;
        found = m_found;
        return true;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_finished;
    bool m_done = false;
    int m_rc = 0;
    addrinfo* m_found = nullptr;
};

// The whole open, look-up included (and for RFC 2217 the server's confirmation of the line),
// keeps to the one deadline.
Connected connectTo(const std::string& host, const std::string& service, const Deadline& deadline) {
    const std::string where = host + ":" + service;
    const std::shared_ptr<LookUp> lookUp = LookUp::start(host, service);
    int rc = 0;
    addrinfo* found = nullptr;
    if (!lookUp->wait(deadline, rc, found))
        return {-1, UARTCE_ERR_OPEN_FAILED,
                "no answer from the name server for " + host + " within 2 s"};
    if (rc != 0)
        return {-1, UARTCE_ERR_NO_DEVICE, "cannot resolve " + where + ": " + ::gai_strerror(rc)};
    Connected result{-1, UARTCE_ERR_NO_DEVICE, "no address for " + where};
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                int r;
                while ((r = ::poll(&p, 1, deadline.remainingMs())) < 0 && errno == EINTR) {
                }
                if (r == 0) {
                    ::close(fd);
                    result = {-1, UARTCE_ERR_OPEN_FAILED,
                              "no connection to " + where + " within 2 s"};
                    break;
                }
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            }
        }
        if (error == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            tcp_info info{};
            socklen_t size = sizeof info;
            const unsigned roundTrip = ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
                                           ? (info.tcpi_rtt + 999) / 1000
                                           : 0;
            result = {fd, UARTCE_OK, {}, roundTrip};
            break;
        }
        ::close(fd);
        result = {-1, UARTCE_ERR_NO_DEVICE,
                  error == ECONNREFUSED
                      ? "connection refused by " + where
                      : "cannot connect to " + where + ": " + std::strerror(error)};
    }
    return result;
}

class TcpDevice final : public fdio::FdDevice {
  public:
    TcpDevice(int fd, unsigned roundTripMs)
        : FdDevice(fd, fdio::Kind::Socket), m_roundTripMs(roundTripMs) {}
    unsigned latencyMs() const override { return m_roundTripMs; }
    // Drops what is waiting now; a peer that never stops sending does not hold the call.
    void discardInput(const Deadline&) override {
        char sink[4096];
        std::size_t got = 0;
        for (std::size_t dropped = 0;
             dropped < kMaxHeld && fdio::read(fd(), sink, sizeof sink, got) == Io::Ok;)
            dropped += got;
    }

  private:
    unsigned m_roundTripMs;
};

// The settings in the COM-PORT-OPTION's coding. Flow control is asked only once some was:
// until then the server's own stays, as with a server that does not know the command.
telnet::ComPortSettings comPortSettings(const LineSettings& settings, bool flowAsked) {
    telnet::ComPortSettings wanted;
    wanted.baud = settings.baud;
    wanted.dataSize = settings.dataBits;
    wanted.parity = static_cast<std::uint8_t>(settings.parity + 1);
    wanted.stopSize = settings.stopBits == 2 ? 2 : 1;
    static constexpr std::uint8_t kFlows[] = {telnet::kFlowNone, telnet::kFlowHardware,
                                              telnet::kFlowXonXoff};
    if (settings.flow != 0 || flowAsked)
        wanted.flow = kFlows[settings.flow];
    return wanted;
}

class Rfc2217Device final : public Device {
  public:
    Rfc2217Device(int fd, const telnet::ComPortSettings& wanted, unsigned roundTripMs)
        : m_fd(fd), m_session(wanted), m_roundTripMs(roundTripMs), m_flowAsked(wanted.flow != 0) {}
    unsigned latencyMs() const override { return m_roundTripMs; }
    ~Rfc2217Device() override { ::close(m_fd); }

    // Offers the option, sets the line and waits for the server to confirm all of it.
    std::pair<std::uint16_t, std::string> setUp(const Deadline& deadline) {
        if (auto [status, reason] = settle(m_session.start(), deadline); status != UARTCE_OK)
            return {status, std::move(reason)};
        // What the server read from the line before this client came belongs to nobody: ask it
        // to drop that too, as a local open flushes the tty. A server that confirms is asked
        // the same before every command.
        m_purgeConfirmed = purgeAndDiscard(
            telnet::kPurgeBoth,
            std::min(kPurgeWait, std::chrono::milliseconds(deadline.remainingMs())));
        return {UARTCE_OK, {}};
    }

    // Sets the server's line anew, within the time an open has. A refusal leaves the server's
    // line as the server has it: what it refused is said, not undone.
    std::pair<std::uint16_t, std::string> setLine(const LineSettings& settings) override {
        const telnet::ComPortSettings wanted = comPortSettings(settings, m_flowAsked);
        m_flowAsked = m_flowAsked || settings.flow != 0;
        auto [status, reason] = settle(m_session.change(wanted), Deadline::after(kConnectLimit));
        if (status == UARTCE_OK || m_gone)
            return {status, std::move(reason)};
        return {UARTCE_ERR_BAD_SETTINGS, std::move(reason)};
    }

    Io readAvailable(char* buffer, std::size_t capacity, std::size_t& got) override {
        got = 0;
        // A bounded number of reads: a server that sends nothing but protocol must not keep
        // the caller from its deadline.
        for (int reads = 0; m_held.empty(); ++reads) {
            if (m_gone)
                return Io::HungUp;
            if (reads == kMaxPumpsPerRead)
                return Io::WouldBlock;
            const Io io = pump();
            if (io != Io::Ok)
                return io;
        }
        got = capacity < m_held.size() ? capacity : m_held.size();
        std::memcpy(buffer, m_held.data(), got);
        m_held.erase(0, got);
        return Io::Ok;
    }
    Io waitReadable(const Deadline& deadline) override {
        if (!m_held.empty())
            return Io::Ok;
        if (m_gone)
            return Io::HungUp;
        return fdio::waitReadable(m_fd, deadline);
    }
    int waitHandle() const override { return m_gone ? -1 : m_fd; }
    Io writeAll(const char* data, std::size_t count, std::chrono::milliseconds stallLimit,
                std::size_t& written) override {
        written = 0;
        if (m_gone)
            return Io::HungUp;
        const std::string escaped = telnet::escapeData(std::string_view(data, count));
        std::size_t sent = 0;
        const Io io = fdio::writeAll(m_fd, fdio::Kind::Socket, escaped.data(), escaped.size(),
                                     stallLimit, &sent);
        // The data bytes whose escaped form went whole.
        for (std::size_t i = 0, at = 0; i < count; ++i) {
            at += static_cast<std::uint8_t>(data[i]) == telnet::kIac ? 2 : 1;
            if (at > sent)
                break;
            written = i + 1;
        }
        return io;
    }
    void discardInput(const Deadline& deadline) override {
        if (m_purgeConfirmed) {
            // The confirmation is waited for within the command's time-out, half of it at
            // most; a server that let it pass is not asked again.
            const auto half = std::chrono::milliseconds(deadline.remainingMs() / 2);
            m_purgeConfirmed = purgeAndDiscard(telnet::kPurgeReceived, std::min(kPurgeWait, half));
            if (m_purgeConfirmed)
                return;
        }
        for (int reads = 0; reads < 16 && !m_gone && pump() == Io::Ok; ++reads)
            m_held.clear();
        m_held.clear();
    }
    // One receive in steady state: what is waiting is decoded into the held data first.
    Io bytesWaiting(std::uint32_t& count) override {
        if (!m_gone && m_held.size() < kMaxHeld)
            pump();
        count = static_cast<std::uint32_t>(m_held.size());
        return m_gone && m_held.empty() ? Io::HungUp : Io::Ok;
    }

  private:
    // Sends the request and waits for the server to confirm every setting in it, or refuse one.
    std::pair<std::uint16_t, std::string> settle(const std::string& request,
                                                 const Deadline& deadline) {
        if (m_gone || fdio::writeAll(m_fd, fdio::Kind::Socket, request.data(), request.size(),
                                     kSetupLimit) != Io::Ok)
            return {UARTCE_ERR_OPEN_FAILED, "the server closed the connection"};
        while (m_session.setup() == telnet::Session::Setup::Pending) {
            // A server that floods data keeps the socket readable: the deadline is checked
            // here too, not only by the wait.
            const Io waited =
                deadline.expired() ? Io::WouldBlock : fdio::waitReadable(m_fd, deadline);
            if (waited == Io::WouldBlock)
                return {UARTCE_ERR_OPEN_FAILED,
                        "the server did not confirm the line settings within 2 s (is it an "
                        "RFC 2217 server?)"};
            if (waited != Io::Ok || pump() == Io::HungUp)
                return {UARTCE_ERR_OPEN_FAILED, "the server closed the connection"};
            // Data before the line is set up is noise no module sends; what is held for the
            // caller stays within one reply buffer, and the purge below drops it anyway.
            if (m_held.size() > kMaxHeldBeforeSetup)
                m_held.erase(0, m_held.size() - kMaxHeldBeforeSetup);
        }
        if (m_session.setup() == telnet::Session::Setup::Refused)
            return {UARTCE_ERR_OPEN_FAILED, m_session.refusal()};
        return {UARTCE_OK, {}};
    }

    // Sends PURGE-DATA and drops line data until the server confirms it (all data before the
    // confirmation was on its way before the purge), or until the wait is over. True when the
    // server confirmed.
    bool purgeAndDiscard(std::uint8_t what, std::chrono::milliseconds wait) {
        const unsigned before = m_session.purgesConfirmed();
        const std::string request = telnet::purge(what);
        if (m_gone || fdio::writeAll(m_fd, fdio::Kind::Socket, request.data(), request.size(),
                                     kSetupLimit) != Io::Ok)
            return false;
        const Deadline deadline = Deadline::after(wait);
        while (m_session.purgesConfirmed() == before && !m_gone && !deadline.expired()) {
            m_held.clear();
            const Io io = pump();
            if (io == Io::Ok)
                continue;
            if (io != Io::WouldBlock || deadline.expired() ||
                fdio::waitReadable(m_fd, deadline) != Io::Ok)
                break;
        }
        m_held.clear();
        return m_session.purgesConfirmed() != before;
    }

    // One read from the socket, decoded; answers owed to the server go out at once.
    Io pump() {
        char raw[4096];
        std::size_t got = 0;
        const Io io = fdio::read(m_fd, raw, sizeof raw, got);
        if (io == Io::HungUp)
            m_gone = true;
        if (io != Io::Ok)
            return io;
        std::string replies;
        m_session.receive(std::string_view(raw, got), m_held, replies);
        if (!replies.empty() && fdio::writeAll(m_fd, fdio::Kind::Socket, replies.data(),
                                               replies.size(), kSetupLimit) == Io::HungUp)
            m_gone = true;
        return Io::Ok;
    }

    int m_fd;
    telnet::Session m_session;
    std::string m_held;
    bool m_gone = false;
    bool m_purgeConfirmed = false;
    unsigned m_roundTripMs;
    bool m_flowAsked; // flow control was set once: none is then set, not left as it is
};

} // namespace

OpenResult openTcp(const std::string& host, const std::string& service) {
    const Connected c = connectTo(host, service, Deadline::after(kConnectLimit));
    if (c.fd < 0)
        return refuse(-1, c.status, c.reason);
    return {std::make_unique<TcpDevice>(c.fd, c.roundTripMs), UARTCE_OK, {}};
}

OpenResult openRfc2217(const std::string& host, const std::string& service,
                       const LineSettings& settings) {
    const Deadline deadline = Deadline::after(kConnectLimit);
    const Connected c = connectTo(host, service, deadline);
    if (c.fd < 0)
        return refuse(-1, c.status, c.reason);
    auto device =
        std::make_unique<Rfc2217Device>(c.fd, comPortSettings(settings, false), c.roundTripMs);
    auto [status, reason] = device->setUp(deadline);
    if (status != UARTCE_OK)
        return {nullptr, status, reason};
    return {std::move(device), UARTCE_OK, {}};
}

} // namespace uartce::platform
