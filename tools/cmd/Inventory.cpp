#include "cmd/Inventory.h"

#include "rules/Framing.h"
#include "rules/Text.h"

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

namespace cmd {

namespace {

// Just enough JSON for the inventory: objects, arrays, strings, whole numbers, true, false and
// null. Strings come back as the bytes jsonString wrote (\u00XX is byte XX).
struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    unsigned long number = 0;
    std::string text;
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    const Value* member(std::string_view key) const {
        for (const auto& [k, v] : members)
            if (k == key)
                return &v;
        return nullptr;
    }
};

class Reader {
  public:
    explicit Reader(std::string_view text) : m_text(text) {}

    std::optional<Value> document() {
        std::optional<Value> v = value(0);
        skipBlanks();
        if (v && m_at != m_text.size())
            return fail("more after the end of the document");
        return v;
    }
    const std::string& error() const { return m_error; }

  private:
    static constexpr int kDeepest = 16;

    std::nullopt_t fail(const std::string& why) {
        if (m_error.empty())
            m_error = why + " at byte " + std::to_string(m_at);
        return std::nullopt;
    }
    void skipBlanks() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\n' || m_text[m_at] == '\r'))
            ++m_at;
    }
    bool take(char c) {
        skipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        if (m_text.substr(m_at, w.size()) != w)
            return false;
        m_at += w.size();
        return true;
    }

    std::optional<Value> value(int depth) {
        if (depth > kDeepest)
            return fail("nested too deep");
        skipBlanks();
        if (m_at >= m_text.size())
            return fail("a value expected");
        Value v;
        const char c = m_text[m_at];
        if (c == '{') {
            v.kind = Value::Kind::Object;
            ++m_at;
            if (take('}'))
                return v;
            do {
                skipBlanks();
                std::optional<std::string> key = string();
                if (!key)
                    return std::nullopt;
                if (!take(':'))
                    return fail("':' expected");
                std::optional<Value> item = value(depth + 1);
                if (!item)
                    return std::nullopt;
                v.members.emplace_back(std::move(*key), std::move(*item));
            } while (take(','));
            if (!take('}'))
                return fail("',' or '}' expected");
        } else if (c == '[') {
            v.kind = Value::Kind::Array;
            ++m_at;
            if (take(']'))
                return v;
            do {
                std::optional<Value> item = value(depth + 1);
                if (!item)
                    return std::nullopt;
                v.items.push_back(std::move(*item));
            } while (take(','));
            if (!take(']'))
                return fail("',' or ']' expected");
        } else if (c == '"') {
            std::optional<std::string> s = string();
            if (!s)
                return std::nullopt;
            v.kind = Value::Kind::String;
            v.text = std::move(*s);
        } else if (c >= '0' && c <= '9') {
            std::size_t end = m_at;
            while (end < m_text.size() && m_text[end] >= '0' && m_text[end] <= '9')
                ++end;
            if (!portula::parseUnsigned(m_text.substr(m_at, end - m_at), 0xFFFFFFFFUL, v.number))
                return fail("a number out of range");
            v.kind = Value::Kind::Number;
            m_at = end;
        } else if (word("true") || word("false")) {
            v.kind = Value::Kind::Bool;
            v.boolean = m_text[m_at - 1] == 'e' && m_text[m_at - 2] == 'u';
        } else if (!word("null")) {
            return fail("a value expected");
        }
        return v;
    }

    std::optional<std::string> string() {
        if (m_at >= m_text.size() || m_text[m_at] != '"')
            return fail("a string expected");
        ++m_at;
        std::string out;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            const char c = m_text[m_at++];
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("a control byte in a string");
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (m_at >= m_text.size())
                break;
            const char e = m_text[m_at++];
            static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
            if (const std::size_t i = kFrom.find(e); i != std::string_view::npos) {
                out.push_back(kTo[i]);
            } else if (e == 'u' && m_at + 4 <= m_text.size()) {
                unsigned code = 0;
                for (int k = 0; k < 4; ++k) {
                    const int d = portula::hexDigit(m_text[m_at++]);
                    if (d < 0)
                        return fail("a bad \\u escape");
                    code = code * 16 + static_cast<unsigned>(d);
                }
                appendCode(out, code);
            } else {
                return fail("a bad escape");
            }
        }
        if (m_at >= m_text.size())
            return fail("a string without its end");
        ++m_at;
        return out;
    }

    // \u00XX is byte XX, as the scan writes the bytes a module sent; a wider code point (a
    // file edited by hand) is UTF-8.
    static void appendCode(std::string& out, unsigned code) {
        if (code < 0x100) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    std::string m_error;
};

std::optional<Module> moduleOf(const Value& v, std::string& error) {
    if (v.kind != Value::Kind::Object) {
        error = "a module is not an object";
        return std::nullopt;
    }
    Module m;
    const auto text = [&](const char* key, std::string& out) {
        const Value* f = v.member(key);
        if (!f || f->kind != Value::Kind::String) {
            error = std::string("a module without its \"") + key + "\"";
            return false;
        }
        out = f->text;
        return true;
    };
    if (!text("port", m.port) || !text("address", m.address) || !text("name", m.name))
        return std::nullopt;
    const Value* baud = v.member("baud");
    const Value* checksum = v.member("checksum");
    if (!baud || (baud->kind != Value::Kind::Number && baud->kind != Value::Kind::Null)) {
        error = "module " + m.address + " on " + m.port + ": \"baud\" is a number or null";
        return std::nullopt;
    }
    if (!checksum || checksum->kind != Value::Kind::Bool) {
        error = "module " + m.address + " on " + m.port + ": \"checksum\" is true or false";
        return std::nullopt;
    }
    m.baud = static_cast<unsigned>(baud->number);
    m.checksum = checksum->boolean;
    if (const Value* f = v.member("firmware"); f && f->kind == Value::Kind::String)
        m.firmware = f->text;
    return m;
}

std::string rateText(unsigned baud) {
    return baud ? std::to_string(baud) : "server";
}

} // namespace

std::string moduleJson(const Module& m) {
    return "{\"port\":" + portula::jsonString(m.port) +
           ",\"address\":" + portula::jsonString(m.address) +
           ",\"baud\":" + (m.baud ? std::to_string(m.baud) : "null") +
           ",\"checksum\":" + (m.checksum ? "true" : "false") +
           ",\"name\":" + portula::jsonString(m.name) +
           ",\"firmware\":" + (m.firmware ? portula::jsonString(*m.firmware) : "null") + "}";
}

std::optional<Module> parseModule(std::string_view json) {
    Reader reader(json);
    const std::optional<Value> v = reader.document();
    std::string error;
    return v ? moduleOf(*v, error) : std::nullopt;
}

std::string inventoryJson(const std::vector<Module>& modules) {
    std::string out = "{\"format\":\"portula-inventory\",\"version\":1,\"modules\":[";
    for (std::size_t i = 0; i < modules.size(); ++i)
        out += (i ? ",\n " : "\n ") + moduleJson(modules[i]);
    return out + "]}\n";
}

std::optional<std::vector<Module>> parseInventory(std::string_view text, std::string& error) {
    Reader reader(text);
    const std::optional<Value> doc = reader.document();
    if (!doc) {
        error = "not JSON: " + reader.error();
        return std::nullopt;
    }
    const Value* format = doc->member("format");
    const Value* version = doc->member("version");
    const Value* modules = doc->member("modules");
    if (!format || format->text != "portula-inventory") {
        error = "not an inventory (its \"format\" is not \"portula-inventory\")";
        return std::nullopt;
    }
    if (!version || version->kind != Value::Kind::Number || version->number != 1) {
        error = "an inventory of a version this program does not read (it reads version 1)";
        return std::nullopt;
    }
    if (!modules || modules->kind != Value::Kind::Array) {
        error = "an inventory without its \"modules\" list";
        return std::nullopt;
    }
    std::vector<Module> out;
    for (const Value& v : modules->items) {
        std::optional<Module> m = moduleOf(v, error);
        if (!m)
            return std::nullopt;
        out.push_back(std::move(*m));
    }
    return out;
}

Differences compareInventories(const std::vector<Module>& before, const std::vector<Module>& now) {
    using Key = std::pair<std::string, std::string>;
    std::map<Key, const Module*> was;
    for (const Module& m : before)
        was.emplace(Key{m.port, m.address}, &m);
    Differences d;
    for (const Module& m : now) {
        const auto it = was.find({m.port, m.address});
        if (it == was.end()) {
            d.added.push_back(m);
            continue;
        }
        if (!(*it->second == m))
            d.changed.push_back({*it->second, m});
        was.erase(it);
    }
    for (const Module& m : before)
        if (was.count({m.port, m.address}))
            d.missing.push_back(m);
    return d;
}

std::string describeDifferences(const Differences& d) {
    const auto line = [](const char* what, const Module& m) {
        return std::string(what) + " " + portula::escapeForLine(m.port) + " " + m.address + " " +
               rateText(m.baud) + " checksum " + (m.checksum ? "on" : "off") + " " +
               portula::escapeForLine(m.name) + " " +
               portula::escapeForLine(m.firmware.value_or("-")) + "\n";
    };
    std::string out;
    for (const Module& m : d.added)
        out += line("added  ", m);
    for (const Module& m : d.missing)
        out += line("missing", m);
    for (const Change& c : d.changed) {
        std::string what;
        const auto differs = [&](const char* field, const std::string& a, const std::string& b) {
            if (a != b)
                what += std::string(what.empty() ? "" : ", ") + field + " " +
                        portula::escapeForLine(a) + " -> " + portula::escapeForLine(b);
        };
        differs("baud", rateText(c.before.baud), rateText(c.now.baud));
        differs("checksum", c.before.checksum ? "on" : "off", c.now.checksum ? "on" : "off");
        differs("name", c.before.name, c.now.name);
        differs("firmware", c.before.firmware.value_or("-"), c.now.firmware.value_or("-"));
        out += "changed " + portula::escapeForLine(c.now.port) + " " + c.now.address + ": " + what +
               "\n";
    }
    return out;
}

} // namespace cmd
