#include "PortMap.h"

#include "rules/Rates.h"
#include "rules/Rs485.h"
#include "rules/Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

namespace uartce {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// "COM12" (any case) to 12; 0 when it is not a COM name in range.
unsigned comNumber(std::string_view name) {
    if (name.size() < 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return 0;
    unsigned n = 0;
    const char* first = name.data() + 3;
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(first, last, n);
    if (error != std::errc() || end != last || n == 0 || n > kMaxCom || *first == '0')
        return 0;
    return n;
}

struct MapLine {
    unsigned com;
    std::string device;
    std::string origin;
    LineOverrides line;
};

void parseConfig(const ConfigFile& file, std::vector<MapLine>& lines,
                 std::vector<std::string>& warnings) {
    std::string_view text = file.text;
    unsigned number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t eol = text.find('\n');
        std::string_view line = trim(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (line.empty() || line.front() == '#')
            continue;
        const std::string where = file.path + ":" + std::to_string(number);
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            warnings.push_back(where + ": expected COM<n> = DEVICE");
            continue;
        }
        const unsigned com = comNumber(trim(line.substr(0, equals)));
        // The device is the first word; settings may follow it.
        const std::string_view rest = trim(line.substr(equals + 1));
        const std::size_t blank = rest.find_first_of(" \t");
        const std::string_view device = rest.substr(0, blank);
        if (com == 0) {
            warnings.push_back(where + ": not a port name COM1 to COM255: " +
                               std::string(trim(line.substr(0, equals))));
            continue;
        }
        if (device.empty()) {
            warnings.push_back(where + ": no device for COM" + std::to_string(com));
            continue;
        }
        const ParsedOverrides settings =
            parseLineOverrides(blank == std::string_view::npos ? "" : rest.substr(blank));
        if (!settings.fault.empty()) {
            warnings.push_back(where + ": " + settings.fault);
            continue;
        }
        lines.push_back({com, std::string(device), where, settings.line});
    }
}

// ttyUSB10 after ttyUSB9: the name's letters bytewise, then its number.
bool adapterNameLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        std::size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1])))
            --digits;
        const std::string tail = s.substr(digits);
        return std::make_pair(s.substr(0, digits), tail.empty() ? 0UL : std::stoul(tail));
    };
    return split(a) < split(b);
}

// A well-formed remote name: whether the server is there is known only by connecting.
bool isRemote(const std::string& device) {
    const RemoteName remote = parseRemoteName(device);
    return remote.kind != RemoteName::Kind::None && remote.fault.empty();
}

} // namespace

ParsedOverrides parseLineOverrides(std::string_view words) {
    ParsedOverrides parsed;
    LineOverrides& o = parsed.line;
    while (!(words = trim(words)).empty()) {
        const std::size_t end = std::min(words.find_first_of(" \t"), words.size());
        const std::string_view word = words.substr(0, end);
        words.remove_prefix(end);
        const std::size_t equals = word.find('=');
        const std::string_view key = word.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : word.substr(equals + 1);
        const std::string quoted = "'" + portula::escapeForLine(word) + "'";
        auto bad = [&](const std::string& why) {
            parsed.fault = quoted + ": " + why;
            return parsed;
        };
        unsigned long number = 0;
        if (key == "rs485") {
            std::string why;
            if (!portula::parseRs485(value, why))
                return bad(why);
            o.rs485 = std::string(value);
            continue;
        }
        if (equals == std::string_view::npos)
            return bad("expected SETTING=VALUE after the device (baud, data-bits, parity, "
                       "stop-bits, flow, rs485)");
        if (key == "baud") {
            if (!portula::parseUnsigned(value, portula::kMaxRate, number) ||
                !portula::isLineRate(static_cast<std::uint32_t>(number)))
                return bad("baud is a rate from " + std::to_string(portula::kMinRate) + " to " +
                           std::to_string(portula::kMaxRate));
            o.baud = static_cast<std::uint32_t>(number);
        } else if (key == "data-bits") {
            if (!portula::parseUnsigned(value, 8, number) || number < 5)
                return bad("data-bits is 5, 6, 7 or 8");
            o.dataBits = static_cast<std::uint8_t>(number);
        } else if (key == "parity") {
            if (!(o.parity = portula::parseParity(value)))
                return bad("parity is none, odd, even, mark or space");
        } else if (key == "stop-bits") {
            if (value != "1" && value != "2")
                return bad("stop-bits is 1 or 2");
            o.stopBits = static_cast<std::int8_t>(value == "2" ? 2 : 1);
        } else if (key == "flow") {
            if (!(o.flow = portula::parseFlow(value)))
                return bad("flow is none, rts-cts or xon-xoff");
        } else {
            return bad("not a setting (baud, data-bits, parity, stop-bits, flow, rs485)");
        }
    }
    return parsed;
}

PortMap buildPortMap(const PortMapInputs& in) {
    PortMap map;
    map.devRoot = in.devRoot;
    map.exists = in.exists;
    map.warnings = in.skippedConfigs;
    map.skippedConfigs = in.skippedConfigs;
    const std::string byIdDir = in.devRoot + "/serial/by-id/";
    auto adapterOf = [&](const std::string& device) -> const ByIdLink* {
        if (device.compare(0, byIdDir.size(), byIdDir) != 0)
            return nullptr;
        const std::string name = device.substr(byIdDir.size());
        for (const ByIdLink& link : in.byId)
            if (link.name == name)
                return &link;
        return nullptr;
    };
    auto present = [&](const std::string& device) {
        return isRemote(device) || (in.exists && in.exists(device));
    };
    auto named = [&](unsigned com, const std::string& device, PortSource source,
                     const std::string& origin, const LineOverrides& line = {}) {
        PortEntry e;
        e.com = com;
        e.device = device;
        e.source = source;
        e.origin = origin;
        e.line = line;
        e.present = present(device);
        if (const ByIdLink* link = adapterOf(device)) {
            e.byIdName = link->name;
            e.target = link->target;
            e.present = true; // listed links resolve
        } else if (device.compare(0, byIdDir.size(), byIdDir) == 0) {
            e.byIdName = device.substr(byIdDir.size()); // named, but not plugged in
        }
        map.assigned[com] = std::move(e);
    };

    for (const auto& [com, device] : in.env)
        if (com >= 1 && com <= kMaxCom && !device.empty())
            named(com, device, PortSource::Env, "UARTCE_COM" + std::to_string(com));

    std::vector<MapLine> lines;
    for (const ConfigFile& file : in.configs) {
        std::vector<MapLine> own;
        parseConfig(file, own, map.warnings);
        std::set<unsigned> seen;
        for (const MapLine& line : own) {
            if (!seen.insert(line.com).second) {
                map.warnings.push_back(line.origin + ": COM" + std::to_string(line.com) +
                                       " is mapped again; the first line stands");
                continue;
            }
            lines.push_back(line);
        }
    }
    for (const MapLine& line : lines)
        if (map.assigned.count(line.com) == 0)
            named(line.com, line.device, PortSource::MapFile, line.origin, line.line);

    for (unsigned k : in.builtInUarts) {
        const unsigned com = k + 1;
        if (com <= kMaxCom && map.assigned.count(com) == 0)
            named(com, in.devRoot + "/ttyS" + std::to_string(k), PortSource::BuiltIn, "");
    }

    // Adapters that a variable or a map line names already have their number.
    std::set<std::string> claimed;
    for (const auto& [com, e] : map.assigned) {
        if (e.source == PortSource::BuiltIn)
            continue;
        claimed.insert(e.device);
        if (!e.target.empty())
            claimed.insert(e.target);
    }
    std::vector<std::pair<std::string, std::string>> adapters; // (device, by-id name)
    if (in.haveById) {
        std::vector<ByIdLink> links = in.byId;
        std::sort(links.begin(), links.end(),
                  [](const ByIdLink& a, const ByIdLink& b) { return a.name < b.name; });
        for (const ByIdLink& link : links)
            if (claimed.count(byIdDir + link.name) == 0 && claimed.count(link.target) == 0)
                adapters.emplace_back(byIdDir + link.name, link.name);
    } else {
        std::vector<std::string> names = in.fallbackAdapters;
        std::sort(names.begin(), names.end(), adapterNameLess);
        for (const std::string& name : names)
            if (claimed.count(in.devRoot + "/" + name) == 0)
                adapters.emplace_back(in.devRoot + "/" + name, "");
    }
    unsigned next = kFirstAdapterCom;
    for (const auto& [device, byIdName] : adapters) {
        while (next <= kMaxCom && map.assigned.count(next) != 0)
            ++next;
        if (next > kMaxCom)
            break;
        named(next, device, PortSource::Discovered, "");
    }
    return map;
}

PortEntry PortMap::entryFor(unsigned com) const {
    const auto found = assigned.find(com);
    if (found != assigned.end())
        return found->second;
    PortEntry e;
    e.com = com;
    e.device = devRoot + "/ttyS" + std::to_string(com == 0 ? 0 : com - 1);
    e.present = exists && exists(e.device);
    return e;
}

RemoteName parseRemoteName(std::string_view name) {
    RemoteName r;
    std::string_view rest;
    if (name.substr(0, 10) == "rfc2217://") {
        r.kind = RemoteName::Kind::Rfc2217;
        rest = name.substr(10);
    } else if (name.substr(0, 9) == "socket://") {
        r.kind = RemoteName::Kind::Socket;
        rest = name.substr(9);
    } else {
        return r;
    }
    // HOST:PORT, or [v6-address]:PORT.
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == rest.size()) {
        r.fault = "expected HOST:PORT after the scheme";
        return r;
    }
    std::string_view host = rest.substr(0, colon);
    const std::string_view service = rest.substr(colon + 1);
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty()) {
        r.fault = "no host before the port";
        return r;
    }
    // A number past 65535 must not wrap round to another port: 99999 is not 34463.
    unsigned long number = 0;
    const bool digits =
        service.size() <= 5 && std::all_of(service.begin(), service.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        });
    if (digits)
        number = std::strtoul(std::string(service).c_str(), nullptr, 10);
    if (!digits || number < 1 || number > 65535) {
        r.fault =
            "the TCP port must be a number from 1 to 65535, not '" + std::string(service) + "'";
        return r;
    }
    r.host = std::string(host);
    r.service = std::to_string(number);
    return r;
}

std::string describeEntry(const PortEntry& e) {
    std::string text = e.target.empty() ? e.device : e.target + "  " + e.byIdName;
    if (!e.present)
        text += " (absent)";
    return text;
}

std::string sourceText(const PortEntry& e) {
    switch (e.source) {
    case PortSource::Env:
        return "env " + e.origin;
    case PortSource::MapFile:
        return e.origin;
    case PortSource::Discovered:
        return "discovered";
    case PortSource::BuiltIn:
        return "built-in";
    case PortSource::Default:
        break;
    }
    return "default";
}

} // namespace uartce
