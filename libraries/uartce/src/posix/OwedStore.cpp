// Replies still owed on a device, kept beyond the port and the program: one small file per
// device in a folder of the user's own.

#include "Platform.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uartce::platform {

namespace {

// A record written before a reboot is stale: its two clocks no longer agree.
constexpr std::int64_t kClockSlackUs = 2'000'000;
// No listen is longer than the longest time-out a caller can give, and a window.
constexpr std::int64_t kLongestOwedUs = 2 * 65'535'000;

std::string storeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        return std::string(runtime) + "/portula";
    return "/tmp/portula-" + std::to_string(::geteuid());
}

// The folder, made when missing; only a folder of this user's that nobody else may write is used.
bool usableFolder(const std::string& folder) {
    ::mkdir(folder.c_str(), 0700);
    struct stat st {};
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 022) == 0;
}

// The device as one name whatever link it was opened by; a remote one as given.
std::string keyOf(const std::string& device) {
    if (device.find("://") != std::string::npos)
        return device;
    char* real = ::realpath(device.c_str(), nullptr);
    if (!real)
        return device;
    std::string key = real;
    std::free(real);
    return key;
}

std::string fileFor(const std::string& key) {
    std::uint64_t hash = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : key)
        hash = (hash ^ c) * 1099511628211ull;
    char name[40];
    std::snprintf(name, sizeof name, "/owed-%016" PRIx64, hash);
    return storeFolder() + name;
}

std::int64_t microsNow(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

} // namespace

bool rememberOwedReply(const std::string& device, const OwedReply& owed) {
    const std::string folder = storeFolder();
    if (!usableFolder(folder))
        return false;
    const std::string key = keyOf(device);
    const std::int64_t left =
        std::chrono::duration_cast<std::chrono::microseconds>(owed.until - Clock::now()).count();
    if (left <= 0 || key.find('\n') != std::string::npos)
        return false;
    const std::string path = fileFor(key);
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return false;
    char head[96];
    const int n = std::snprintf(head, sizeof head, "1 %" PRId64 " %" PRId64 " %s ",
                                microsNow(CLOCK_MONOTONIC) + left, microsNow(CLOCK_REALTIME) + left,
                                owed.address ? owed.address->c_str() : "-");
    const std::string text = std::string(head, static_cast<std::size_t>(n)) + key + '\n';
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!whole)
        ::unlink(path.c_str());
    return whole;
}

std::optional<OwedReply> recallOwedReply(const std::string& device) {
    const std::string key = keyOf(device);
    const std::string path = fileFor(key);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    char text[1024] = {};
    ssize_t got = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        st.st_size < static_cast<off_t>(sizeof text))
        got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    ::unlink(path.c_str()); // heard once: the next open owes nothing more
    if (got <= 0)
        return std::nullopt;
    std::int64_t untilMono = 0;
    std::int64_t untilReal = 0;
    char address[8] = {};
    int keyAt = 0;
    if (std::sscanf(text, "1 %" SCNd64 " %" SCNd64 " %7s %n", &untilMono, &untilReal, address,
                    &keyAt) != 3 ||
        keyAt <= 0)
        return std::nullopt;
    std::string storedKey(text + keyAt);
    if (!storedKey.empty() && storedKey.back() == '\n')
        storedKey.pop_back();
    const std::int64_t leftMono = untilMono - microsNow(CLOCK_MONOTONIC);
    const std::int64_t leftReal = untilReal - microsNow(CLOCK_REALTIME);
    if (storedKey != key || leftMono <= 0 || leftMono > kLongestOwedUs ||
        std::llabs(leftMono - leftReal) > kClockSlackUs)
        return std::nullopt;
    OwedReply owed;
    owed.until = Clock::now() + std::chrono::microseconds(leftMono);
    if (std::string_view(address) != "-")
        owed.address = address;
    return owed;
}

void forgetOwedReply(const std::string& device) {
    ::unlink(fileFor(keyOf(device)).c_str());
}

} // namespace uartce::platform
