#pragma once
// Which device each COM name stands for: a pure function from what the system shows (the
// environment, the map files' texts, the adapters under serial/by-id, the built-in UARTs with
// hardware) to the assignment table. Reading those from the system is Platform's business.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace uartce {

inline constexpr unsigned kMaxCom = 255;
// Adapters take free numbers from here upward: COM1 and COM2 stay for the built-in UARTs that
// most controllers have, as on other systems.
inline constexpr unsigned kFirstAdapterCom = 3;

enum class PortSource { Env, MapFile, Discovered, BuiltIn, Default };

// Line settings a map line gives after its device ("baud=250000 parity=even"): each one given
// replaces the caller's when the port opens by its number.
struct LineOverrides {
    std::optional<std::uint32_t> baud{};    // 50 to 4000000
    std::optional<std::uint8_t> dataBits{}; // 5 to 8
    std::optional<std::uint8_t> parity{};   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<std::int8_t> stopBits{};  // 1 or 2
    std::optional<std::uint8_t> flow{};     // 0 none, 1 RTS/CTS, 2 XON/XOFF
    // The kernel RS-485 mode the port is put in once open, as its list ("" for the default);
    // checked when the map is read.
    std::optional<std::string> rs485{};
    bool operator==(const LineOverrides&) const = default;
};

// The settings after a map line's device, as "KEY=VALUE" words separated by blanks: the
// settings, or why the first bad word is bad ("parity=stick: parity is none, odd, even, mark or
// space").
struct ParsedOverrides {
    LineOverrides line;
    std::string fault; // empty when every word is good
};
ParsedOverrides parseLineOverrides(std::string_view words);

struct PortEntry {
    unsigned com = 0;
    std::string device;   // what Open_Com opens
    std::string byIdName; // for an adapter: its name under serial/by-id
    std::string target;   // for an adapter: the device its by-id link points at
    PortSource source = PortSource::Default;
    std::string origin;   // the variable, or file:line, that named it
    bool present = false; // the device exists (remote names count as present)
    LineOverrides line;   // settings its map line gives
};

struct ConfigFile {
    std::string path;
    std::string text;
};

struct ByIdLink {
    std::string name;   // usb-FTDI_FT232R_USB_UART_A10K5XYZ-if00-port0
    std::string target; // /dev/ttyUSB0
};

struct PortMapInputs {
    std::map<unsigned, std::string> env;     // UARTCE_COM<n> values that are set and not empty
    std::vector<ConfigFile> configs;         // the user's file first, then the system's
    std::vector<std::string> skippedConfigs; // map files there but not read: "file: why"
    std::string devRoot = "/dev";
    bool haveById = false;                     // devRoot/serial/by-id exists
    std::vector<ByIdLink> byId;                // its entries, any order
    std::vector<std::string> fallbackAdapters; // ttyUSB*, ttyACM* names, when there is no by-id
    std::set<unsigned> builtInUarts;           // k for each ttyS<k> with hardware
    // Whether a local device path exists now (asked only for the entries that are built).
    std::function<bool(const std::string&)> exists;
};

struct PortMap {
    std::map<unsigned, PortEntry> assigned;
    std::vector<std::string> warnings;       // skipped map files, then bad lines "file:line: why"
    std::vector<std::string> skippedConfigs; // as in the inputs
    std::string devRoot = "/dev";
    std::function<bool(const std::string&)> exists;

    // The entry for COM<com>: the assigned one, else devRoot/ttyS<com-1>.
    PortEntry entryFor(unsigned com) const;
};

PortMap buildPortMap(const PortMapInputs& inputs);

// A remote device name: rfc2217://HOST:PORT or socket://HOST:PORT.
struct RemoteName {
    enum class Kind { None, Rfc2217, Socket } kind = Kind::None;
    std::string host;
    std::string service; // the TCP port, 1 to 65535, in decimal
    std::string fault;   // why a name with a remote scheme is malformed; empty when it is not
};
// Kind::None for a local path; host empty and fault set when the name has a remote scheme but
// is malformed.
RemoteName parseRemoteName(std::string_view name);

// The tooltip-sized description of an entry: its device, an adapter's by-id name, "absent".
std::string describeEntry(const PortEntry& entry);

// "env UARTCE_COM3", "ports.conf:4", "discovered", "built-in", "default".
std::string sourceText(const PortEntry& entry);

} // namespace uartce
