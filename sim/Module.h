#pragma once
// An addressable ASCII I/O module: commands end in CR; a command starts with a lead character
// and the two hex digits of the module's address. With checksums on, a command carries the
// hex sum of its bytes before the CR, and so does every reply.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct ModuleIdentity {
    std::string name;
    std::string firmware;
};

struct ModuleConfig {
    std::string address = "01";
    ModuleIdentity identity{"PORTULA-SIM", "A1.07"};
    bool checksum = false;
    bool echo = false; // return every byte as it came, instead of answering commands
};

// The modules of the simulated backplane, slots 1 to 7.
extern const std::array<ModuleIdentity, 7> kBackplaneModules;

// The answer to one command line (without its CR), without the CR; nullopt for silence.
std::optional<std::string> answer(const ModuleConfig& config, std::string_view line);

// Byte-stream side: collects lines and returns what to write back for the bytes fed in.
class Module {
  public:
    explicit Module(ModuleConfig config) : m_config(std::move(config)) {}
    std::string feed(std::string_view bytes);
    // Drops a partial line, as after bytes received at the wrong line settings.
    void resetLine() { m_line.clear(); }
    ModuleConfig& config() { return m_config; }

  private:
    ModuleConfig m_config;
    std::string m_line;
};

} // namespace sim
