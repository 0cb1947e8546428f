// Reads what the port map is built from: environment, map files, /dev and /sys.

#include "Platform.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <map>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uartce::platform {

namespace {

// A sysfs attribute is a line.
constexpr std::streamsize kMaxAttributeSize = 4096;
// A map file is a few lines, but nothing limits it: it is read whole up to a size no map
// comes near, and one past that is skipped with a word, never cut.
constexpr off_t kMaxMapSize = 1024 * 1024;

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

bool readAttribute(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.assign(static_cast<std::size_t>(kMaxAttributeSize), '\0');
    in.read(text.data(), kMaxAttributeSize);
    text.resize(static_cast<std::size_t>(in.gcount()));
    return true;
}

std::string notAFile(mode_t mode) {
    if (S_ISFIFO(mode))
        return "a FIFO, not a file";
    if (S_ISDIR(mode))
        return "a directory, not a file";
    return "not a regular file";
}

enum class MapFile { Absent, Read, Skipped };

// Reads a port map file whole. Only a regular file is opened: a FIFO would hold every program
// that names a port until something wrote to it. why says what was wrong with one skipped.
MapFile readMapFile(const std::string& path, std::string& text, std::string& why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int error = errno;
        struct stat link {};
        if (error == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            why = "a symbolic link to nothing";
            return MapFile::Skipped;
        }
        if (error == ENOENT || error == ENOTDIR)
            return MapFile::Absent;
        why = error == ELOOP ? "a loop of symbolic links" : std::strerror(error);
        return MapFile::Skipped;
    }
    if (!S_ISREG(st.st_mode)) {
        why = notAFile(st.st_mode);
        return MapFile::Skipped;
    }
    // Non-blocking, in case the file was swapped for a FIFO since the stat.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("unreadable: ") + std::strerror(errno);
        return MapFile::Skipped;
    }
    MapFile result = MapFile::Read;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = notAFile(st.st_mode);
        result = MapFile::Skipped;
    } else if (st.st_size > kMaxMapSize) {
        why = "larger than " + std::to_string(kMaxMapSize / 1024) + " KB, which no port map is";
        result = MapFile::Skipped;
    }
    text.clear();
    char chunk[8192];
    while (result == MapFile::Read) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::string("unreadable: ") + std::strerror(errno);
            result = MapFile::Skipped;
        } else if (n == 0) {
            break;
        } else if (text.size() + static_cast<std::size_t>(n) >
                   static_cast<std::size_t>(kMaxMapSize)) {
            why = "larger than " + std::to_string(kMaxMapSize / 1024) + " KB, which no port map is";
            result = MapFile::Skipped;
        } else {
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (result != MapFile::Read)
        text.clear();
    return result;
}

std::vector<std::string> entriesOf(const std::string& dir, bool& exists) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    exists = d != nullptr;
    if (!d)
        return names;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

// "ttyS12" with prefix "ttyS" gives 12; -1 when the rest is not a number.
long numberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    for (std::size_t i = prefix.size(); i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return -1;
    return std::strtol(name.c_str() + prefix.size(), nullptr, 10);
}

// Most ttyS nodes are placeholders without a UART. The driver's idea of the UART type says
// which have one; sysfs shows it without opening the device (an open raises DTR). Only where
// there is no sysfs is the device opened, briefly, to ask with TIOCGSERIAL.
bool probeUart(const std::string& sysRoot, const std::string& devPath, const std::string& name) {
    std::string type;
    if (readAttribute(sysRoot + "/class/tty/" + name + "/type", type))
        return std::strtol(type.c_str(), nullptr, 10) != PORT_UNKNOWN;
    const int fd = ::open(devPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    serial_struct info{};
    const bool known = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    ::close(fd);
    return known;
}

// A built-in UART does not come or go while the program runs, and the map is built for every
// tooltip of the port list: each is asked about once.
bool uartHasHardware(const std::string& sysRoot, const std::string& devPath,
                     const std::string& name) {
    static std::map<std::string, bool> answers;
    const auto [at, added] = answers.try_emplace(sysRoot + '\n' + devPath, false);
    if (added)
        at->second = probeUart(sysRoot, devPath, name);
    return at->second;
}

} // namespace

namespace {
// The sysfs folder of a tty device: SYS/class/tty/<name>, through the device's links.
std::string sysfsTtyOf(const std::string& devicePath) {
    char* real = ::realpath(devicePath.c_str(), nullptr);
    if (!real)
        return "";
    std::string name = real;
    std::free(real);
    return envOr("UARTCE_SYS_ROOT", "/sys") + "/class/tty/" + name.substr(name.rfind('/') + 1);
}
} // namespace

std::optional<unsigned> adapterLatencyMs(const std::string& devicePath) {
    const std::string dir = sysfsTtyOf(devicePath);
    std::string text;
    if (dir.empty() || !readAttribute(dir + "/device/latency_timer", text))
        return std::nullopt;
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

std::string ttySysfsDeviceOf(const std::string& devicePath) {
    const std::string dir = sysfsTtyOf(devicePath);
    if (dir.empty())
        return "";
    char* real = ::realpath((dir + "/device").c_str(), nullptr);
    if (!real)
        return "";
    std::string path = real;
    std::free(real);
    return path;
}

std::string ttyDriverOf(const std::string& devicePath) {
    const std::string dir = sysfsTtyOf(devicePath);
    if (dir.empty())
        return "";
    const std::string link = dir + "/device/driver";
    char target[256];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return "";
    const std::string driver(target, static_cast<std::size_t>(n));
    return driver.substr(driver.rfind('/') + 1);
}

PortMapInputs scanPortMapInputs() {
    PortMapInputs in;
    for (unsigned n = 1; n <= kMaxCom; ++n) {
        const std::string name = "UARTCE_COM" + std::to_string(n);
        const char* value = std::getenv(name.c_str());
        if (value && *value)
            in.env[n] = value;
    }
    const std::string home = envOr("HOME", "");
    const std::string userConfig =
        envOr("XDG_CONFIG_HOME", home.empty() ? std::string() : home + "/.config");
    const std::string systemConfig = envOr("UARTCE_SYSCONF_DIR", "/etc");
    for (const std::string& dir : {userConfig, systemConfig}) {
        if (dir.empty())
            continue;
        ConfigFile file{dir + "/portula/ports.conf", {}};
        std::string why;
        switch (readMapFile(file.path, file.text, why)) {
        case MapFile::Read:
            in.configs.push_back(std::move(file));
            break;
        case MapFile::Skipped:
            in.skippedConfigs.push_back(file.path + ": skipped: " + why);
            break;
        case MapFile::Absent:
            break;
        }
    }

    in.devRoot = envOr("UARTCE_DEV_ROOT", "/dev");
    const std::string sysRoot = envOr("UARTCE_SYS_ROOT", "/sys");
    const std::string byIdDir = in.devRoot + "/serial/by-id";
    for (const std::string& name : entriesOf(byIdDir, in.haveById)) {
        char* target = ::realpath((byIdDir + "/" + name).c_str(), nullptr);
        if (!target)
            continue; // a dangling link: the adapter is on its way out
        in.byId.push_back({name, target});
        std::free(target);
    }
    bool devExists = false;
    for (const std::string& name : entriesOf(in.devRoot, devExists)) {
        if (!in.haveById && (numberAfter(name, "ttyUSB") >= 0 || numberAfter(name, "ttyACM") >= 0))
            in.fallbackAdapters.push_back(name);
        const long k = numberAfter(name, "ttyS");
        if (k >= 0 && k < static_cast<long>(kMaxCom) &&
            uartHasHardware(sysRoot, in.devRoot + "/" + name, name))
            in.builtInUarts.insert(static_cast<unsigned>(k));
    }
    in.exists = localDeviceExists;
    return in;
}

} // namespace uartce::platform
