#pragma once
// Non-blocking reads, bounded waits and writes on a descriptor, shared by the tty and socket
// backends. A socket is written with send() so that a closed peer is an error, not SIGPIPE.

#include "Platform.h"

namespace uartce::platform::fdio {

enum class Kind { Tty, Socket };

Io read(int fd, char* buffer, std::size_t capacity, std::size_t& got);
Io waitReadable(int fd, const Deadline& deadline);
Io writeAll(int fd, Kind kind, const char* data, std::size_t count,
            std::chrono::milliseconds stallLimit);
bool isGone(int error);

} // namespace uartce::platform::fdio
