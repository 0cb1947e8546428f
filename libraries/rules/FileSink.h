#pragma once
// Where a trace or a log may go: a regular file (created when it is not there, appended to) or
// a character device such as /dev/null or a terminal. Nothing else will do: a FIFO or a socket
// can make a writer wait on whoever is at the other end, and the open itself never waits.

#include <string>
#include <sys/types.h>

namespace portula {

struct FileSink {
    int fd = -1;          // open for appending, non-blocking, close-on-exec; -1 when refused
    bool regular = false; // a regular file (a part of a line written can be cut back off)
    std::string refusal;  // why not, path and all: "/tmp/f is a FIFO, not a regular file..."
};

// Looks before it opens (a FIFO is told as one, and not opened), opens with O_NONBLOCK, and
// looks again at what was opened.
FileSink openFileSink(const std::string& path, mode_t mode = 0666);

// What kind of file a mode names, as a refusal says it: "a FIFO", "a folder", "a socket"...
const char* fileKind(mode_t mode);

} // namespace portula
