// The POSIX backend: termios serial devices and pseudo-terminals.

#include "Platform.h"
#include "posix/LineSettings.h"

#include <uartce.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace uartce::platform {

namespace {
OpenResult refuse(int fd, std::uint16_t status, std::string reason) {
    if (fd >= 0)
        ::close(fd);
    return {kNoHandle, status, std::move(reason)};
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

bool isGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}
} // namespace

OpenResult openDevice(const std::string& path, const LineSettings& settings) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse(-1, statusForOpenError(errno), std::strerror(errno));
    if (!::isatty(fd))
        return refuse(fd, UARTCE_ERR_OPEN_FAILED, "not a serial device");
    // Another program holding the device keeps its lock; so does another open in this one.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return refuse(fd, UARTCE_ERR_BUSY, "locked by another program");
    if (::ioctl(fd, TIOCEXCL) != 0)
        return refuse(fd, UARTCE_ERR_OPEN_FAILED, std::strerror(errno));
    termios current{};
    termios raw{};
    if (::tcgetattr(fd, &current) != 0)
        return refuse(fd, UARTCE_ERR_OPEN_FAILED, std::strerror(errno));
    if (!makeRawTermios(current, settings, raw))
        return refuse(fd, UARTCE_ERR_BAD_SETTINGS, "line settings out of range");
    if (::tcsetattr(fd, TCSANOW, &raw) != 0)
        return refuse(fd, UARTCE_ERR_OPEN_FAILED, std::strerror(errno));
    ::tcflush(fd, TCIOFLUSH);
    return {fd, UARTCE_OK, {}};
}

void closeDevice(Handle handle) {
    if (handle < 0)
        return;
    ::ioctl(handle, TIOCNXCL);
    ::flock(handle, LOCK_UN);
    ::close(handle);
}

Io readAvailable(Handle handle, char* buffer, std::size_t capacity, std::size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t n = ::read(handle, buffer, capacity);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Io::Ok;
        }
        if (n == 0)
            return Io::HungUp; // a non-blocking tty reads 0 only once it has hung up
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Io::WouldBlock;
        return isGone(errno) ? Io::HungUp : Io::Failed;
    }
}

Io waitReadable(Handle handle, const Deadline& deadline) {
    for (;;) {
        pollfd p{handle, POLLIN, 0};
        const int r = ::poll(&p, 1, deadline.remainingMs());
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Io::Failed;
        if (r == 0)
            return Io::WouldBlock;
        if (p.revents & POLLIN)
            return Io::Ok;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
            return Io::HungUp;
    }
}

Io writeAll(Handle handle, const char* data, std::size_t count,
            std::chrono::milliseconds stallLimit) {
    std::size_t done = 0;
    Deadline deadline = Deadline::after(stallLimit);
    while (done < count) {
        const ssize_t n = ::write(handle, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            deadline = Deadline::after(stallLimit);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return isGone(errno) ? Io::HungUp : Io::Failed;
        // The line is full: wait for room, but not past the deadline.
        pollfd p{handle, POLLOUT, 0};
        const int r = ::poll(&p, 1, deadline.remainingMs());
        if (r == 0)
            return Io::WouldBlock;
        if (r < 0 && errno != EINTR)
            return Io::Failed;
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLOUT))
            return Io::HungUp;
    }
    return Io::Ok;
}

void discardInput(Handle handle) {
    ::tcflush(handle, TCIFLUSH);
}

Io bytesWaiting(Handle handle, std::uint32_t& count) {
    int n = 0;
    if (::ioctl(handle, FIONREAD, &n) != 0) {
        count = 0;
        return isGone(errno) ? Io::HungUp : Io::Failed;
    }
    count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
    return Io::Ok;
}

} // namespace uartce::platform
