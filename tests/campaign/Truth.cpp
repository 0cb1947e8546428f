#include "campaign/Truth.h"

#include "rules/Framing.h"

#include <cmath>
#include <fcntl.h>
#include <unistd.h>

namespace campaign {

namespace {

class Parser {
  public:
    explicit Parser(std::string_view text) : m_text(text) {}

    std::optional<JsonObject> object() {
        JsonObject out;
        if (!objectInto(out, ""))
            return std::nullopt;
        blanks();
        if (m_at != m_text.size())
            return std::nullopt;
        return out;
    }

  private:
    void blanks() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\r' || m_text[m_at] == '\n'))
            ++m_at;
    }
    bool take(char c) {
        blanks();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool literal(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word)
            return false;
        m_at += word.size();
        return true;
    }
    bool string(std::string& out) {
        if (!take('"'))
            return false;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (m_at >= m_text.size())
                return false;
            const char e = m_text[m_at++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out.push_back(e);
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'u': {
                if (m_at + 4 > m_text.size())
                    return false;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    const int h = portula::hexDigit(m_text[m_at++]);
                    if (h < 0)
                        return false;
                    code = code * 16 + static_cast<unsigned>(h);
                }
                // Every byte is one code point: anything above 255 is not a byte.
                if (code > 0xFF)
                    return false;
                out.push_back(static_cast<char>(code));
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }
    bool number(double& out) {
        const std::size_t begin = m_at;
        if (m_at < m_text.size() && m_text[m_at] == '-')
            ++m_at;
        while (m_at < m_text.size() &&
               ((m_text[m_at] >= '0' && m_text[m_at] <= '9') || m_text[m_at] == '.' ||
                m_text[m_at] == 'e' || m_text[m_at] == 'E' || m_text[m_at] == '+' ||
                m_text[m_at] == '-'))
            ++m_at;
        if (m_at == begin)
            return false;
        const std::string digits(m_text.substr(begin, m_at - begin));
        char* end = nullptr;
        out = std::strtod(digits.c_str(), &end);
        return end == digits.c_str() + digits.size();
    }
    bool skipArray() {
        if (!take('['))
            return false;
        if (take(']'))
            return true;
        do {
            JsonObject ignored;
            if (!value(ignored, ""))
                return false;
        } while (take(','));
        return take(']');
    }
    bool value(JsonObject& out, const std::string& key) {
        blanks();
        if (m_at >= m_text.size())
            return false;
        const char c = m_text[m_at];
        JsonValue v;
        if (c == '"') {
            v.type = JsonValue::Type::String;
            if (!string(v.text))
                return false;
        } else if (c == '{') {
            return objectInto(out, key + ".");
        } else if (c == '[') {
            return skipArray();
        } else if (literal("true")) {
            v.type = JsonValue::Type::Bool;
            v.flag = true;
        } else if (literal("false")) {
            v.type = JsonValue::Type::Bool;
        } else if (literal("null")) {
            v.type = JsonValue::Type::Null;
        } else {
            v.type = JsonValue::Type::Number;
            if (!number(v.number))
                return false;
        }
        out[key] = std::move(v);
        return true;
    }
    bool objectInto(JsonObject& out, const std::string& prefix) {
        if (!take('{'))
            return false;
        if (take('}'))
            return true;
        do {
            std::string key;
            blanks();
            if (!string(key) || !take(':') || !value(out, prefix + key))
                return false;
        } while (take(','));
        return take('}');
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

} // namespace

std::optional<JsonObject> parseJsonObject(std::string_view text) {
    return Parser(text).object();
}

std::optional<std::string> stringMember(const JsonObject& object, const std::string& key) {
    const auto it = object.find(key);
    if (it == object.end() || it->second.type != JsonValue::Type::String)
        return std::nullopt;
    return it->second.text;
}

std::optional<std::int64_t> integerMember(const JsonObject& object, const std::string& key) {
    const auto it = object.find(key);
    if (it == object.end() || it->second.type != JsonValue::Type::Number ||
        std::floor(it->second.number) != it->second.number)
        return std::nullopt;
    return static_cast<std::int64_t>(it->second.number);
}

std::optional<bool> boolMember(const JsonObject& object, const std::string& key) {
    const auto it = object.find(key);
    if (it == object.end() || it->second.type != JsonValue::Type::Bool)
        return std::nullopt;
    return it->second.flag;
}

std::optional<TruthRecord> parseTruthLine(std::string_view line) {
    const std::optional<JsonObject> object = parseJsonObject(line);
    if (!object)
        return std::nullopt;
    const std::optional<std::string> kind = stringMember(*object, "kind");
    if (!kind)
        return std::nullopt;
    TruthRecord r;
    r.line = std::string(line);
    if (*kind == "heard")
        r.kind = Kind::Heard;
    else if (*kind == "reply")
        r.kind = Kind::Reply;
    else if (*kind == "duplicate")
        r.kind = Kind::Duplicate;
    else if (*kind == "echo")
        r.kind = Kind::Echo;
    else if (*kind == "noise")
        r.kind = Kind::Noise;
    else
        r.kind = Kind::Other;
    r.command = stringMember(*object, "command").value_or("");
    r.bytes = stringMember(*object, "bytes").value_or("");
    r.heardUs = integerMember(*object, "heard_us").value_or(-1);
    r.startUs = integerMember(*object, "start_us").value_or(-1);
    r.endUs = integerMember(*object, "end_us").value_or(-1);
    r.cut = boolMember(*object, "cut").value_or(false);
    r.understood = boolMember(*object, "understood").value_or(true);
    r.mode = stringMember(*object, "mode").value_or("");
    // What each kind must carry for the checks to use it.
    switch (r.kind) {
    case Kind::Heard:
        if (r.heardUs < 0 || !object->count("command"))
            return std::nullopt;
        break;
    case Kind::Reply:
    case Kind::Duplicate:
        if (r.heardUs < 0 || r.startUs < 0 || r.endUs < 0 || !object->count("bytes"))
            return std::nullopt;
        break;
    case Kind::Echo:
    case Kind::Noise:
        if (r.startUs < 0 || r.endUs < 0 || !object->count("bytes"))
            return std::nullopt;
        break;
    case Kind::Other:
        break;
    }
    return r;
}

std::size_t TruthFile::poll() {
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::string added;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, static_cast<off_t>(m_offset));
        if (n <= 0)
            break;
        added.append(chunk, static_cast<std::size_t>(n));
        m_offset += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    m_partial += added;
    std::size_t count = 0;
    std::size_t begin = 0;
    for (std::size_t end; (end = m_partial.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        const std::string_view line(m_partial.data() + begin, end - begin);
        if (line.empty())
            continue;
        if (std::optional<TruthRecord> r = parseTruthLine(line)) {
            m_heard += r->kind == Kind::Heard;
            m_records.push_back(std::move(*r));
            ++count;
        } else {
            m_unreadable.emplace_back(line);
        }
    }
    m_partial.erase(0, begin);
    return count;
}

} // namespace campaign
