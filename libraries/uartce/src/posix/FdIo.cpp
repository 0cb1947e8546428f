#include "posix/FdIo.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace uartce::platform::fdio {

bool isGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == ECONNRESET ||
           error == EPIPE || error == ENOTCONN || error == ETIMEDOUT || error == EHOSTUNREACH;
}

Io read(int fd, char* buffer, std::size_t capacity, std::size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Io::Ok;
        }
        if (n == 0)
            return Io::HungUp; // non-blocking: 0 only once the line or the peer is gone
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Io::WouldBlock;
        return isGone(errno) ? Io::HungUp : Io::Failed;
    }
}

Io waitReadable(int fd, const Deadline& deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
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

Io writeAll(int fd, Kind kind, const char* data, std::size_t count,
            std::chrono::milliseconds stallLimit, std::size_t* written) {
    std::size_t done = 0;
    struct Tally {
        std::size_t& done;
        std::size_t* written;
        ~Tally() {
            if (written)
                *written = done;
        }
    } tally{done, written};
    Deadline deadline = Deadline::after(stallLimit);
    while (done < count) {
        const ssize_t n = kind == Kind::Socket
                              ? ::send(fd, data + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                              : ::write(fd, data + done, count - done);
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
        pollfd p{fd, POLLOUT, 0};
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

Io bytesWaiting(int fd, std::uint32_t& count) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) {
        count = 0;
        return isGone(errno) ? Io::HungUp : Io::Failed;
    }
    count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
    return Io::Ok;
}

FdDevice::~FdDevice() {
    ::close(m_fd);
}

} // namespace uartce::platform::fdio
