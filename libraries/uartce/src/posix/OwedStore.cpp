// Replies still owed on a device, kept beyond the port and the program: one small file per
// device in a folder of the user's own.

#include "Platform.h"
#include "posix/RuntimeStore.h"

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
constexpr std::size_t kMaxFile = 16 * 1024;

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

} // namespace

std::string deviceKey(const std::string& device) {
    if (device.find("://") != std::string::npos)
        return device;
    char* real = ::realpath(device.c_str(), nullptr);
    if (!real)
        return device;
    std::string key = real;
    std::free(real);
    return key;
}

std::string deviceFileName(const std::string& kind, const std::string& key) {
    std::uint64_t hash = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : key)
        hash = (hash ^ c) * 1099511628211ull;
    char name[40];
    std::snprintf(name, sizeof name, "-%016" PRIx64, hash);
    return storeFolder() + "/" + kind + name;
}

namespace {

std::string fileNameFor(const std::string& key) {
    return deviceFileName("owed", key);
}

std::int64_t microsNow(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

} // namespace

// The folder checked once, and each device's file named once: a scan that misses most
// addresses writes down what it owes after each of them.
bool folderReady() {
    static const bool ready = usableFolder(storeFolder());
    return ready;
}

struct DeviceFile {
    std::string key;
    std::string path;
};

const DeviceFile& fileFor(const std::string& device) {
    static std::string lastDevice;
    static DeviceFile last;
    static Clock::time_point named{};
    // A link may come to point elsewhere (an adapter plugged back): named again now and then.
    if (device != lastDevice || last.path.empty() ||
        Clock::now() - named > std::chrono::seconds(1)) {
        named = Clock::now();
        lastDevice = device;
        last.key = deviceKey(device);
        last.path = fileNameFor(last.key);
    }
    return last;
}

// The file: the device's name on its first line, then one line per owed reply: its end on the
// monotonic clock and on the wall clock, in microseconds, its module's address or "-", and 1
// when a line without an address may answer it.
bool rememberOwedReplies(const std::string& device, const std::vector<OwedReply>& owed) {
    const DeviceFile& file = fileFor(device);
    const std::string& key = file.key;
    const std::string& path = file.path;
    if (owed.empty()) {
        ::unlink(path.c_str());
        return true;
    }
    if (!folderReady() || key.find('\n') != std::string::npos)
        return false;
    const Clock::time_point now = Clock::now();
    const std::int64_t mono = microsNow(CLOCK_MONOTONIC);
    const std::int64_t real = microsNow(CLOCK_REALTIME);
    std::string text = key + '\n';
    for (const OwedReply& o : owed) {
        const std::int64_t left =
            std::chrono::duration_cast<std::chrono::microseconds>(o.until - now).count();
        if (left <= 0)
            continue;
        char line[96];
        const int n = std::snprintf(line, sizeof line, "%" PRId64 " %" PRId64 " %s %d\n",
                                    mono + left, real + left, o.address ? o.address->c_str() : "-",
                                    o.mayLackAddress ? 1 : 0);
        if (n > 0 && static_cast<std::size_t>(n) < sizeof line)
            text.append(line, static_cast<std::size_t>(n));
    }
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return false;
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!whole)
        ::unlink(path.c_str());
    return whole;
}

std::vector<OwedReply> recallOwedReplies(const std::string& device) {
    std::vector<OwedReply> owed;
    // Named afresh at each open: a link may point elsewhere now.
    const std::string key = deviceKey(device);
    const std::string path = fileNameFor(key);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return owed;
    struct stat st {};
    std::string text(kMaxFile, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        st.st_size < static_cast<off_t>(kMaxFile))
        got = ::read(fd, text.data(), text.size());
    ::close(fd);
    ::unlink(path.c_str()); // heard once: the next open owes nothing more
    if (got <= 0)
        return owed;
    text.resize(static_cast<std::size_t>(got));
    std::size_t end = text.find('\n');
    if (end == std::string::npos || text.compare(0, end, key) != 0)
        return owed;
    const std::int64_t mono = microsNow(CLOCK_MONOTONIC);
    const std::int64_t real = microsNow(CLOCK_REALTIME);
    const Clock::time_point now = Clock::now();
    for (std::size_t at = end + 1; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos)
            break;
        const std::string line = text.substr(at, end - at);
        std::int64_t untilMono = 0;
        std::int64_t untilReal = 0;
        char address[8] = {};
        int mayLack = 1;
        if (std::sscanf(line.c_str(), "%" SCNd64 " %" SCNd64 " %7s %d", &untilMono, &untilReal,
                        address, &mayLack) != 4)
            continue;
        const std::int64_t leftMono = untilMono - mono;
        const std::int64_t leftReal = untilReal - real;
        if (leftMono <= 0 || leftMono > kLongestOwedUs ||
            std::llabs(leftMono - leftReal) > kClockSlackUs)
            continue;
        OwedReply o{now + std::chrono::microseconds(leftMono), std::nullopt, mayLack != 0};
        if (std::string_view(address) != "-")
            o.address = address;
        owed.push_back(std::move(o));
    }
    return owed;
}

} // namespace uartce::platform
