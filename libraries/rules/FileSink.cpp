#include "rules/FileSink.h"

#include "rules/Text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace portula {

namespace {
bool isSink(mode_t mode) {
    return S_ISREG(mode) || S_ISCHR(mode);
}
std::string notASink(const std::string& path, mode_t mode) {
    return escapeForLine(path) + " is " + fileKind(mode) +
           ", not a regular file or a character device";
}
} // namespace

const char* fileKind(mode_t mode) {
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISBLK(mode))
        return "a block device";
    return "of another kind";
}

FileSink openFileSink(const std::string& path, mode_t mode) {
    FileSink sink;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !isSink(st.st_mode)) {
        sink.refusal = notASink(path, st.st_mode);
        return sink;
    }
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        sink.refusal =
            "cannot open " + escapeForLine(path) + " for appending: " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return sink;
    }
    if (!isSink(st.st_mode)) { // it changed since the look
        sink.refusal = notASink(path, st.st_mode);
        ::close(fd);
        return sink;
    }
    sink.fd = fd;
    sink.regular = S_ISREG(st.st_mode);
    return sink;
}

} // namespace portula
