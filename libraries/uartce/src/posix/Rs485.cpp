#include "posix/Rs485.h"

#include "Platform.h"
#include "posix/RuntimeStore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace uartce::platform {

namespace {

// UNIX 98 pseudo-terminal slaves.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

serial_rs485 toKernel(const uartce_rs485& mode) {
    serial_rs485 k{};
    k.flags = (mode.enabled ? SER_RS485_ENABLED : 0u) |
              (mode.rtsOnSend ? SER_RS485_RTS_ON_SEND : 0u) |
              (mode.rtsAfterSend ? SER_RS485_RTS_AFTER_SEND : 0u) |
              (mode.rxDuringTx ? SER_RS485_RX_DURING_TX : 0u) |
              (mode.terminateBus ? SER_RS485_TERMINATE_BUS : 0u);
    k.delay_rts_before_send = mode.delayBeforeMs;
    k.delay_rts_after_send = mode.delayAfterMs;
    return k;
}

uartce_rs485 fromKernel(const serial_rs485& k) {
    uartce_rs485 mode{};
    mode.size = sizeof mode;
    mode.enabled = (k.flags & SER_RS485_ENABLED) != 0;
    mode.rtsOnSend = (k.flags & SER_RS485_RTS_ON_SEND) != 0;
    mode.rtsAfterSend = (k.flags & SER_RS485_RTS_AFTER_SEND) != 0;
    mode.rxDuringTx = (k.flags & SER_RS485_RX_DURING_TX) != 0;
    mode.terminateBus = (k.flags & SER_RS485_TERMINATE_BUS) != 0;
    mode.delayBeforeMs = k.delay_rts_before_send;
    mode.delayAfterMs = k.delay_rts_after_send;
    return mode;
}

Rs485Device factsOf(int fd, const std::string& path) {
    Rs485Device device;
    device.driver = ttyDriverOf(path);
    device.sysfsDevice = ttySysfsDeviceOf(path);
    struct stat st {};
    device.pseudoTerminal = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
                            major(st.st_rdev) >= kPtySlaveMajorFirst &&
                            major(st.st_rdev) <= kPtySlaveMajorLast;
    return device;
}

Rs485Outcome refusal(int fd, const std::string& path, int error) {
    // ENOTTY from a tty without the mode, EINVAL from some drivers that have none.
    if (error == ENOTTY || error == EINVAL || error == EOPNOTSUPP)
        return {UARTCE_ERR_BAD_SETTINGS, {}, {}, noRs485Reason(factsOf(fd, path))};
    return {UARTCE_ERR_OPEN_FAILED,
            {},
            {},
            std::string("the driver refused the RS-485 mode: ") + std::strerror(error)};
}

// The boot the record was written in: after a reboot the device has its mode from the boot.
std::string bootId() {
    char id[64] = {};
    const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "-";
    const ssize_t n = ::read(fd, id, sizeof id - 1);
    ::close(fd);
    std::string text(id, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "-" : text;
}

// The record: the device's name, the boot's id, the kernel's struct as hex bytes; a line each.
std::string recordText(const std::string& key, const serial_rs485& mode) {
    std::string text = key + '\n' + bootId() + '\n';
    const auto* bytes = reinterpret_cast<const unsigned char*>(&mode);
    for (std::size_t i = 0; i < sizeof mode; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text + '\n';
}

std::optional<serial_rs485> parseRecord(const std::string& text, const std::string& key) {
    const std::size_t first = text.find('\n');
    const std::size_t second =
        first == std::string::npos ? std::string::npos : text.find('\n', first + 1);
    if (second == std::string::npos || text.compare(0, first, key) != 0 ||
        text.compare(first + 1, second - first - 1, bootId()) != 0)
        return std::nullopt;
    serial_rs485 mode{};
    auto* bytes = reinterpret_cast<unsigned char*>(&mode);
    std::size_t at = second + 1;
    for (std::size_t i = 0; i < sizeof mode; ++i, at += 2) {
        unsigned value = 0;
        if (at + 2 > text.size() || std::sscanf(text.c_str() + at, "%2x", &value) != 1)
            return std::nullopt;
        bytes[i] = static_cast<unsigned char>(value);
    }
    return mode;
}

bool writeRecord(const std::string& path, const std::string& text) {
    if (!folderReady())
        return false;
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return false;
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
    ::close(fd);
    if (!whole)
        ::unlink(path.c_str());
    return whole;
}

std::string readRecord(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    std::string text(512, '\0');
    struct stat st {};
    ssize_t got = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
        got = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

} // namespace

void Rs485Keeper::giveBackLeftOver(int fd, const std::string& path) {
    const std::string key = deviceKey(path);
    const std::string record = deviceFileName("rs485", key);
    const std::string text = readRecord(record);
    if (text.empty())
        return;
    if (std::optional<serial_rs485> left = parseRecord(text, key))
        ::ioctl(fd, TIOCSRS485, &*left);
    ::unlink(record.c_str());
}

Rs485Outcome Rs485Keeper::set(int fd, const std::string& path, const uartce_rs485& asked) {
    serial_rs485 now{};
    if (::ioctl(fd, TIOCGRS485, &now) != 0)
        return refusal(fd, path, errno);
    const bool first = !m_found;
    if (first) {
        const std::string key = deviceKey(path);
        m_record = deviceFileName("rs485", key);
        if (!writeRecord(m_record, recordText(key, now)))
            m_record.clear();
    }
    const auto forget = [&] {
        if (first && !m_record.empty())
            ::unlink(m_record.c_str());
        if (first)
            m_record.clear();
    };
    // A successful TIOCGRS485 proves nothing (a port without the mode reads zeros): only the
    // set tells.
    serial_rs485 wanted = toKernel(asked);
    if (::ioctl(fd, TIOCSRS485, &wanted) != 0) {
        const int error = errno;
        forget();
        return refusal(fd, path, error);
    }
    serial_rs485 back{};
    if (::ioctl(fd, TIOCGRS485, &back) != 0) {
        const int error = errno;
        ::ioctl(fd, TIOCSRS485, &now);
        forget();
        return refusal(fd, path, error);
    }
    const uartce_rs485 kept = fromKernel(back);
    if (asked.enabled && !kept.enabled) {
        ::ioctl(fd, TIOCSRS485, &now);
        forget();
        return {UARTCE_ERR_BAD_SETTINGS, kept, {}, "the driver keeps the RS-485 mode off"};
    }
    if (first)
        m_found = now;
    return {UARTCE_OK, kept, rs485Changes(asked, kept), {}};
}

void Rs485Keeper::giveBack(int fd) {
    if (m_found)
        ::ioctl(fd, TIOCSRS485, &*m_found);
    m_found.reset();
    if (!m_record.empty())
        ::unlink(m_record.c_str());
    m_record.clear();
}

} // namespace uartce::platform
