// Local serial devices and pseudo-terminal slaves, through termios.

#include "Messages.h"
#include "Platform.h"
#include "posix/ArbitraryRate.h"
#include "posix/FdIo.h"
#include "posix/LineSettings.h"
#include "posix/Rs485.h"

#include <uartce.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <optional>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace uartce::platform {

namespace {

// Puts a line back as it was found: its termios, and an arbitrary rate it ran at.
void restoreLine(int fd, const termios& was, std::uint32_t wasRate) {
    ::tcsetattr(fd, TCSANOW, &was);
    if (constantRate(cfgetospeed(&was)) == 0 && wasRate != 0)
        setArbitraryRate(fd, wasRate);
}

// Sets the line and reads it back: a driver that takes none of the settings says so, one that
// kept one of them as it was does not, and only the read-back shows it. A refused line is left
// as it was found. UARTCE_OK, or the status and why.
std::pair<std::uint16_t, std::string> applySettings(int fd, const std::string& path,
                                                    const LineSettings& settings) {
    if (const std::string faked = settingTheDriverFakes(ttyDriverOf(path), settings);
        !faked.empty())
        return {UARTCE_ERR_BAD_SETTINGS, "the device does not support " + faked};
    termios current{};
    termios raw{};
    if (::tcgetattr(fd, &current) != 0)
        return {UARTCE_ERR_OPEN_FAILED, std::strerror(errno)};
    const std::uint32_t currentRate = rateReadBack(current, reportedRate(fd));
    if (!makeRawTermios(current, settings, raw))
        return {UARTCE_ERR_BAD_SETTINGS, "line settings out of range"};
    speed_t constant{};
    const bool arbitrary = !baudConstant(settings.baud, constant);
    if (::tcsetattr(fd, TCSANOW, &raw) != 0 ||
        (arbitrary && !setArbitraryRate(fd, settings.baud))) {
        // A driver that takes none of the settings says so with EINVAL.
        const int error = errno;
        restoreLine(fd, current, currentRate);
        if (error == EINVAL)
            return {UARTCE_ERR_BAD_SETTINGS,
                    "the device does not take these settings (" + describeSettings(settings) + ")"};
        return {UARTCE_ERR_OPEN_FAILED, std::strerror(error)};
    }
    termios taken{};
    if (::tcgetattr(fd, &taken) != 0)
        return {UARTCE_ERR_OPEN_FAILED, std::strerror(errno)};
    if (const std::string unmet = unmetSetting(settings, taken, reportedRate(fd)); !unmet.empty()) {
        restoreLine(fd, current, currentRate);
        return {UARTCE_ERR_BAD_SETTINGS, "the device does not support " + unmet};
    }
    return {UARTCE_OK, {}};
}

// Closing the descriptor drops the flock; the kernel does the same when the process dies in
// any way, so no lock outlives its holder.
class TtyDevice final : public fdio::FdDevice {
  public:
    TtyDevice(int fd, std::optional<unsigned> latencyMs, std::string path)
        : FdDevice(fd, fdio::Kind::Tty), m_latencyMs(latencyMs.value_or(0)),
          m_usbAdapter(latencyMs.has_value()), m_path(std::move(path)) {}
    // Gives the driver its own latency and RS-485 modes back, as the port was found.
    ~TtyDevice() override {
        if (m_restoreSerial)
            ::ioctl(fd(), TIOCSSERIAL, &m_serial);
        m_rs485.giveBack(fd());
    }
    Rs485Outcome setRs485(const uartce_rs485& asked) override {
        return m_rs485.set(fd(), m_path, asked);
    }
    void discardInput(const Deadline&) override { ::tcflush(fd(), TCIFLUSH); }
    unsigned latencyMs() const override { return m_latencyMs; }
    // In place, without closing: the lock and what waits on the line stay.
    std::pair<std::uint16_t, std::string> setLine(const LineSettings& settings) override {
        return applySettings(fd(), m_path, settings);
    }

    // A USB adapter holds what it receives for its latency timer (16 ms on FTDI chips) before
    // it passes it on, longer than a whole exchange at 115200 baud. Where the driver offers
    // the low-latency mode, the port is put in it while it is open.
    void lowerLatency() {
        serial_struct serial{};
        if (::ioctl(fd(), TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
            return;
        serial_struct low = serial;
        low.flags |= ASYNC_LOW_LATENCY;
        serial_struct back{};
        if (::ioctl(fd(), TIOCSSERIAL, &low) == 0 && ::ioctl(fd(), TIOCGSERIAL, &back) == 0 &&
            (back.flags & ASYNC_LOW_LATENCY) != 0) {
            m_serial = serial;
            m_restoreSerial = true;
            // A USB adapter then hands bytes on within a millisecond; a built-in UART, which
            // takes the flag as well, never held them.
            if (m_usbAdapter)
                m_latencyMs = 1;
        }
    }

  private:
    unsigned m_latencyMs;
    bool m_usbAdapter; // it has a latency timer
    serial_struct m_serial{};
    bool m_restoreSerial = false;
    std::string m_path;
    Rs485Keeper m_rs485;
};

OpenResult refuse(int fd, std::uint16_t status, std::string reason) {
    if (fd >= 0)
        ::close(fd);
    return {nullptr, status, std::move(reason)};
}

std::uint16_t statusForOpenError(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
        return UARTCE_ERR_NO_DEVICE;
    case EACCES:
    case EPERM:
        return UARTCE_ERR_ACCESS;
    case EBUSY:
        return UARTCE_ERR_BUSY;
    default:
        return UARTCE_ERR_OPEN_FAILED;
    }
}

bool userInGroup(gid_t gid) {
    if (::getegid() == gid)
        return true;
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? static_cast<std::size_t>(n) : 0);
    const int got = ::getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid)
            return true;
    return false;
}

std::string accessReasonFor(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::strerror(EACCES);
    AccessFacts facts;
    const passwd* owner = ::getpwuid(st.st_uid);
    const group* grp = ::getgrgid(st.st_gid);
    facts.owner = owner ? owner->pw_name : std::to_string(st.st_uid);
    facts.group = grp ? grp->gr_name : std::to_string(st.st_gid);
    facts.mode = st.st_mode & 07777;
    facts.userInGroup = userInGroup(st.st_gid);
    return accessReason(facts);
}

} // namespace

OpenResult openTty(const std::string& path, const LineSettings& settings) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        const std::uint16_t status = statusForOpenError(error);
        return refuse(-1, status,
                      status == UARTCE_ERR_ACCESS ? accessReasonFor(path) : std::strerror(error));
    }
    if (!::isatty(fd))
        return refuse(fd, UARTCE_ERR_OPEN_FAILED, "not a serial device");
    // Only a pseudo-terminal master has a slave number; it is the far end of a line, not a port.
    int slave = 0;
    if (::ioctl(fd, TIOCGPTN, &slave) == 0)
        return refuse(fd, UARTCE_ERR_OPEN_FAILED, "a pseudo-terminal master, not a port");
    // The flock is the only exclusivity: TIOCEXCL would outlive a holder that is killed while
    // another process keeps the tty alive (a bridge, a pty master).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return refuse(fd, UARTCE_ERR_BUSY, "another program holds it");
    // A holder that was killed could not give the RS-485 mode back; the device is ours now.
    Rs485Keeper::giveBackLeftOver(fd, path);
    if (auto [status, reason] = applySettings(fd, path, settings); status != UARTCE_OK)
        return refuse(fd, status, std::move(reason));
    ::tcflush(fd, TCIOFLUSH);
    auto device = std::make_unique<TtyDevice>(fd, adapterLatencyMs(path), path);
    device->lowerLatency();
    return {std::move(device), UARTCE_OK, {}};
}

bool sameDevice(const std::string& a, const std::string& b) {
    if (a == b)
        return true;
    if (parseRemoteName(a).kind != RemoteName::Kind::None ||
        parseRemoteName(b).kind != RemoteName::Kind::None)
        return false;
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool localDeviceExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace uartce::platform
