#include "support/PseudoTerminal.h"

#include "support/Deadline.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

using namespace std::chrono_literals;

PseudoTerminal::PseudoTerminal() {
    // openpty hands back the slave side open too; the code under test opens its own, so this
    // one is closed at once.
    int slave = -1;
    char name[128] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    ::close(slave);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    m_path = name;
}

PseudoTerminal::~PseudoTerminal() {
    hangUp();
}

void PseudoTerminal::hangUp() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void PseudoTerminal::write(std::string_view bytes) const {
    // A full line is waited on, as a device waits for room in its UART; a line that takes no
    // byte for 5 s is stuck.
    std::size_t done = 0;
    Deadline stall(5s);
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            stall = Deadline(5s);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            throw std::runtime_error("write to pseudo-terminal failed");
        pollfd p{m_master, POLLOUT, 0};
        if (::poll(&p, 1, stall.remainingMs()) == 0)
            throw std::runtime_error("the pseudo-terminal took no byte for 5 s");
    }
}

std::string PseudoTerminal::read(std::size_t count, std::chrono::milliseconds within) const {
    std::string got;
    const Deadline deadline(within);
    char buffer[4096];
    while (got.size() < count) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, deadline.remainingMs()) <= 0 || !(p.revents & POLLIN))
            break;
        const ssize_t n = ::read(m_master, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string PseudoTerminal::readUntil(char terminator, std::chrono::milliseconds within) const {
    std::string got;
    const Deadline deadline(within);
    char c;
    while (got.empty() || got.back() != terminator) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, deadline.remainingMs()) <= 0 || !(p.revents & POLLIN))
            break;
        if (::read(m_master, &c, 1) != 1)
            break;
        got.push_back(c);
    }
    return got;
}

std::string PseudoTerminal::drain(std::chrono::milliseconds quiet) const {
    std::string got;
    char buffer[4096];
    for (;;) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0 || !(p.revents & POLLIN))
            return got;
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            return got;
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace testsupport
