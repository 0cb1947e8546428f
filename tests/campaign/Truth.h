#pragma once
// The simulator's record of what happened on the line (one JSON object a line), and the flat
// JSON objects portula-cmd prints. Strings carry one byte per code point (0 to 255).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace campaign {

struct JsonValue {
    enum class Type { String, Number, Bool, Null };
    Type type = Type::Null;
    std::string text; // a string's bytes
    double number = 0;
    bool flag = false;
};

// One JSON object; nested objects are flattened ("rtt_us.min"), arrays are skipped.
using JsonObject = std::map<std::string, JsonValue>;

// nullopt for anything but one well-formed object (trailing blanks allowed).
std::optional<JsonObject> parseJsonObject(std::string_view text);

// Accessors that tell a missing or mistyped member apart.
std::optional<std::string> stringMember(const JsonObject& object, const std::string& key);
std::optional<std::int64_t> integerMember(const JsonObject& object, const std::string& key);
std::optional<bool> boolMember(const JsonObject& object, const std::string& key);

enum class Kind { Heard, Reply, Duplicate, Echo, Noise, Other };

struct TruthRecord {
    Kind kind = Kind::Other;
    std::string command;       // heard, reply, duplicate, echo: the command line, CR excluded
    std::int64_t heardUs = -1; // heard, reply, duplicate: when the command's CR was heard
    std::int64_t startUs = -1; // reply, duplicate, echo, noise: first byte on its way
    std::int64_t endUs = -1;   // last byte through
    std::string bytes;         // what went back to the terminal
    bool cut = false;
    bool understood = true;
    std::string mode; // "rtu" or "ascii" on a line of Modbus slaves, empty otherwise
    std::string line; // the line as the simulator wrote it, for reports
};

// nullopt for a line that is not a record (not an object, no kind, a time missing).
std::optional<TruthRecord> parseTruthLine(std::string_view line);

// Follows a truth file as the simulator appends to it: each poll() takes the complete lines
// added since the last one.
class TruthFile {
  public:
    explicit TruthFile(std::string path) : m_path(std::move(path)) {}
    // Reads what was added; returns the number of new records.
    std::size_t poll();
    const std::vector<TruthRecord>& records() const { return m_records; }
    std::size_t heardCount() const { return m_heard; }
    // Lines that were not records, for a report.
    const std::vector<std::string>& unreadable() const { return m_unreadable; }
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
    std::uint64_t m_offset = 0;
    std::string m_partial;
    std::vector<TruthRecord> m_records;
    std::vector<std::string> m_unreadable;
    std::size_t m_heard = 0;
};

} // namespace campaign
