#pragma once
// Non-blocking reads, bounded waits and writes on a descriptor, shared by the tty and socket
// backends. A socket is written with send() so that a closed peer is an error, not SIGPIPE.

#include "Platform.h"

namespace uartce::platform::fdio {

enum class Kind { Tty, Socket };

Io read(int fd, char* buffer, std::size_t capacity, std::size_t& got);
Io waitReadable(int fd, const Deadline& deadline);
// written (may be null): how many bytes went, on failure too.
Io writeAll(int fd, Kind kind, const char* data, std::size_t count,
            std::chrono::milliseconds stallLimit, std::size_t* written = nullptr);
bool isGone(int error);
// FIONREAD: bytes ready to be read.
Io bytesWaiting(int fd, std::uint32_t& count);

// A device on one descriptor, which it closes. The tty and TCP backends differ only in how
// they write and how they drop waiting input.
class FdDevice : public Device {
  public:
    FdDevice(int fd, Kind kind) : m_fd(fd), m_kind(kind) {}
    ~FdDevice() override;

    Io readAvailable(char* buffer, std::size_t capacity, std::size_t& got) override {
        return read(m_fd, buffer, capacity, got);
    }
    Io waitReadable(const Deadline& deadline) override {
        return fdio::waitReadable(m_fd, deadline);
    }
    Io writeAll(const char* data, std::size_t count, std::chrono::milliseconds stallLimit,
                std::size_t& written) override {
        return fdio::writeAll(m_fd, m_kind, data, count, stallLimit, &written);
    }
    Io bytesWaiting(std::uint32_t& count) override { return fdio::bytesWaiting(m_fd, count); }
    int waitHandle() const override { return m_fd; }

  protected:
    int fd() const { return m_fd; }

  private:
    int m_fd;
    Kind m_kind;
};

} // namespace uartce::platform::fdio
