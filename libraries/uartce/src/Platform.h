#pragma once
// The device layer of the library: what the portable code needs of an operating system. An open
// port is a Device; a local serial device, a raw TCP stream and a serial server speaking
// RFC 2217 are its three kinds, chosen by the device's name when the port opens. One
// implementation per system (posix/ here).

#include "Deadline.h"
#include "OwedReplies.h"
#include "PortMap.h"
#include "Rs485Settings.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace uartce::platform {

struct LineSettings {
    std::uint32_t baud;    // 50 to 4000000
    std::uint8_t dataBits; // 5 to 8
    std::uint8_t parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::int8_t stopBits;  // 0 or 1: one stop bit; 2: two
    std::uint8_t flow = 0; // 0 none, 1 RTS/CTS, 2 XON/XOFF
};

bool validSettings(const LineSettings& settings);

enum class Io { Ok, WouldBlock, HungUp, Failed };

class Device {
  public:
    virtual ~Device() = default; // gives the device and its lock back

    // Reads what is there without waiting; got is the number of bytes read (Ok only).
    virtual Io readAvailable(char* buffer, std::size_t capacity, std::size_t& got) = 0;
    // Waits until input may be readable: Ok, WouldBlock when the deadline passed, HungUp,
    // Failed. Ok does not promise data: a network device may hold only protocol bytes.
    virtual Io waitReadable(const Deadline& deadline) = 0;
    // Writes every byte or fails: WouldBlock when the line took nothing for stallLimit.
    // written: how many of the bytes went on the line, on failure too.
    virtual Io writeAll(const char* data, std::size_t count, std::chrono::milliseconds stallLimit,
                        std::size_t& written) = 0;
    // Drops input that is waiting, by the deadline at the latest.
    virtual void discardInput(const Deadline& deadline) = 0;
    // Data bytes ready to be read, without waiting; HungUp when the device is gone.
    virtual Io bytesWaiting(std::uint32_t& count) = 0;
    // How long the way to the line holds a reply back, beyond the wire: a USB adapter's latency
    // timer, a network's round trip. 0 when nothing is known to.
    virtual unsigned latencyMs() const { return 0; }
    // A descriptor that turns readable when input may have come, for a caller to wait on with
    // its own; -1 when there is none.
    virtual int waitHandle() const { return -1; }
    // Changes the line settings of the open device and checks that it took them: a status and,
    // on refusal, why. A refused change leaves the line as it was. A device whose settings are
    // not the library's to set (a raw TCP stream) takes any.
    virtual std::pair<std::uint16_t, std::string> setLine(const LineSettings&) { return {0, {}}; }
    // Sets the kernel's RS-485 mode and reads it back (see UARTCE_SetRs485); the mode found
    // first is given back when the device is closed. Only a local serial device has one.
    virtual Rs485Outcome setRs485(const uartce_rs485&) {
        return {UARTCE_ERR_BAD_SETTINGS,
                {},
                {},
                "a remote port has no RS-485 mode: its serial server's own settings decide"};
    }
};

struct OpenResult {
    std::unique_ptr<Device> device; // null on failure
    std::uint16_t status;           // a uartce_status
    std::string reason;             // for the message on standard error
};

// Opens a device by name (a path, rfc2217://HOST:PORT or socket://HOST:PORT) with the given
// line settings. A local device is held exclusively until the Device is destroyed or the
// process ends, however it ends.
OpenResult openDevice(const std::string& name, const LineSettings& settings);

// The backends openDevice chooses between.
OpenResult openTty(const std::string& path, const LineSettings& settings);
OpenResult openTcp(const std::string& host, const std::string& service);
OpenResult openRfc2217(const std::string& host, const std::string& service,
                       const LineSettings& settings);

// Whether a local device of that name is there now; cheap enough to ask a few times a second.
bool localDeviceExists(const std::string& path);

// A USB adapter's latency timer in milliseconds as its driver shows it in sysfs (FTDI chips:
// device/latency_timer); none for a device without one.
std::optional<unsigned> adapterLatencyMs(const std::string& devicePath);

// The kernel driver behind a tty device ("ftdi_sio", "serial8250"), from sysfs; empty when it
// cannot be told.
std::string ttyDriverOf(const std::string& devicePath);
// The real path of a tty device's sysfs device folder (under /sys/devices); empty when none.
std::string ttySysfsDeviceOf(const std::string& devicePath);

// Whether two device names stand for one device: the same file for local paths (through any
// link), the same name for remote ones.
bool sameDevice(const std::string& a, const std::string& b);

// Replies still owed on a device when its port closes or the program ends (commands that got
// none, or only part of one): until when each may come, and from which module. The next open of
// the device, in this program or another, listens for them before its first command. Kept in
// a small file per device and user.
using OwedReply = OwedReplies::Owed;
// Records them for the device (none: forgets); false when they could not be.
bool rememberOwedReplies(const std::string& device, const std::vector<OwedReply>& owed);
// What is owed on the device now; forgets it.
std::vector<OwedReply> recallOwedReplies(const std::string& device);

// What the port map is built from, read from this system: the environment, the map files,
// the adapters and the built-in UARTs. The roots of /dev, the system's configuration and
// /sys come from UARTCE_DEV_ROOT, UARTCE_SYSCONF_DIR and UARTCE_SYS_ROOT when set.
PortMapInputs scanPortMapInputs();

} // namespace uartce::platform
