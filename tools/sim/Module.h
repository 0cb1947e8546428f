#pragma once
// An addressable ASCII I/O module: commands end in CR; a command starts with a lead character
// and the two hex digits of the module's address. With checksums on, a command carries the
// hex sum of its bytes before the CR, and so does every reply.

#include "rules/Modbus.h"
#include "sim/ModbusSlave.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct ModuleIdentity {
    std::string name;
    std::string firmware;
};

struct ModuleConfig {
    std::string address = "01";
    ModuleIdentity identity{"PORTULA-SIM", "A1.07"};
    bool checksum = false;
    bool echo = false;         // return every byte as it came, instead of answering commands
    std::string ending = "\r"; // what ends every reply
};

// Misbehaviour of the line as a whole, counted over the replies the modules give: the Nth,
// 2Nth... reply is lost, comes late or comes twice (the copy duplicateMs after the first ends).
// 0 turns a fault off; a dropped reply is neither late nor doubled.
// With collide, a second module at each address (kTwinModule) answers at the same time.
struct Faults {
    unsigned dropEvery = 0;
    unsigned lateEvery = 0;
    unsigned lateMs = 0;
    bool collide = false;
    unsigned duplicateEvery = 0;
    unsigned duplicateMs = 0;
};

// The modules of the simulated backplane, slots 1 to 7.
extern const std::array<ModuleIdentity, 7> kBackplaneModules;

// The module that shares each address when replies collide.
extern const ModuleIdentity kTwinModule;

// Two transmitters at once on a bus where a 0 wins: each byte is the AND of theirs, and the
// longer one goes on alone over the idle line (all 1s) once the shorter has ended.
std::string onSharedBus(std::string_view a, std::string_view b);

// The answer to one command line (without its CR), without the reply's ending; nullopt for
// silence. A reading (#AA, #AAn) answers ">" and `reading` (counted from 1) as +NN.NNN, from
// +00.001 to +99.999 and round again, so that no two readings in a run look alike.
std::optional<std::string> answer(const ModuleConfig& config, std::string_view line,
                                  unsigned long reading = 1);
// Whether a reply given by answer() is a reading, which uses up its number.
inline bool isReading(std::string_view reply) {
    return !reply.empty() && reply.front() == '>';
}

// The name a module gets on a line shared with others: its address tells it apart.
std::string nameOnSharedLine(const std::string& address);

// One reply as it goes back on the line (its ending included), after delayMs from its command;
// a duplicated one goes again duplicateMs after it ends.
struct Reply {
    std::string bytes;
    unsigned delayMs = 0;
    std::optional<unsigned> duplicateMs{};
    bool operator==(const Reply&) const = default;
};

// Modbus slaves in place of the ASCII modules: the frames' mode and the slaves' ids.
struct ModbusLine {
    portula::ModbusMode mode = portula::ModbusMode::Rtu;
    std::vector<std::uint8_t> ids{1};
};

// Byte-stream side: collects lines and answers them for every module on the line.
class Module {
  public:
    explicit Module(ModuleConfig config, Faults faults = {})
        : m_modules{std::move(config)}, m_faults(faults) {}
    Module(std::vector<ModuleConfig> modules, Faults faults)
        : m_modules(std::move(modules)), m_faults(faults) {}
    // A line of Modbus slaves: it answers frames (answerFrame), not lines, and has no
    // ModuleConfig.
    Module(const ModbusLine& line, Faults faults);

    // Whether the line's peers are Modbus slaves, and in which mode.
    std::optional<portula::ModbusMode> modbusMode() const { return m_modbusMode; }
    // The reply to one Modbus frame as it came off the line (RTU: its bytes up to the silence,
    // CRC included; ASCII: up to and with its LF, anything ahead of its last ':' ignored), with
    // the line's faults applied; none when no slave answers: a frame that fails its check or
    // has not the form, another id, a broadcast.
    std::optional<Reply> answerFrame(std::string_view frame);
    std::vector<ModbusSlave>& slaves() { return m_slaves; }

    // What to write back for the bytes fed in, delays ignored.
    std::string feed(std::string_view bytes);
    // The replies to the bytes fed in, each with its delay; dropped replies are left out.
    std::vector<Reply> receive(std::string_view bytes);
    // Drops a partial line, as after bytes received at the wrong line settings.
    void resetLine() { m_line.clear(); }
    // The first module; the only one unless several share the line. Not on a Modbus line.
    ModuleConfig& config() { return m_modules.front(); }
    std::vector<ModuleConfig>& modules() { return m_modules; }

  private:
    std::optional<Reply> answerLine();
    // Counts a reply the modules gave and applies the faults that fall on it.
    std::optional<Reply> withFaults(std::string bytes);

    std::vector<ModuleConfig> m_modules;
    Faults m_faults;
    std::string m_line;
    unsigned long m_replies = 0;           // replies the modules gave, lost ones included
    std::vector<unsigned long> m_readings; // readings each module gave
    std::optional<portula::ModbusMode> m_modbusMode;
    std::vector<ModbusSlave> m_slaves;
    std::vector<ModbusSlave> m_twins; // the second slave at each id, when replies collide
};

} // namespace sim
