#include "sim/Module.h"

#include "rules/Framing.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

const std::array<ModuleIdentity, 7> kBackplaneModules{{
    {"PX-8AI", "B2.01"},
    {"PX-4AO", "B2.02"},
    {"PX-16DI", "B2.03"},
    {"PX-16DO", "B2.04"},
    {"PX-4RTD", "B2.05"},
    {"PX-8TC", "B2.06"},
    {"PX-2CNT", "B2.07"},
}};

const ModuleIdentity kTwinModule{"PORTULA-TWIN", "A2.11"};

namespace {
bool sameAddress(std::string_view a, std::string_view b) {
    if (a.size() != 2 || b.size() != 2)
        return false;
    for (std::size_t i = 0; i < 2; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// 1 is +00.001, 99999 is +99.999, and 100000 starts over at +00.001.
std::string readingText(unsigned long reading) {
    const unsigned long value = (reading == 0 ? 0 : (reading - 1) % 99999) + 1;
    char text[16];
    std::snprintf(text, sizeof text, ">+%02lu.%03lu", value / 1000, value % 1000);
    return text;
}

std::string withChecksum(std::string reply) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", portula::checksumOf(reply));
    return reply + digits;
}
} // namespace

std::optional<std::string> answer(const ModuleConfig& config, std::string_view line,
                                  unsigned long reading) {
    if (config.checksum) {
        std::size_t payload = 0;
        if (!portula::verifyReplyChecksum(line, payload))
            return std::nullopt; // a garbled command gets no answer
        line = line.substr(0, payload);
    }
    if (line.size() < 3 || !sameAddress(line.substr(1, 2), config.address))
        return std::nullopt;
    const std::string_view rest = line.substr(3);
    std::string reply;
    if (line[0] == '$' && rest == "M")
        reply = "!" + config.address + config.identity.name;
    else if (line[0] == '$' && rest == "F")
        reply = "!" + config.address + config.identity.firmware;
    else if (line[0] == '#' &&
             (rest.empty() ||
              (rest.size() == 1 && std::isdigit(static_cast<unsigned char>(rest[0])))))
        reply = readingText(reading);
    else
        reply = "?" + config.address;
    return config.checksum ? withChecksum(reply) : reply;
}

std::string onSharedBus(std::string_view a, std::string_view b) {
    std::string out(std::max(a.size(), b.size()), '\xFF');
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto fromA = i < a.size() ? static_cast<unsigned char>(a[i]) : 0xFFu;
        const auto fromB = i < b.size() ? static_cast<unsigned char>(b[i]) : 0xFFu;
        out[i] = static_cast<char>(fromA & fromB);
    }
    return out;
}

std::string nameOnSharedLine(const std::string& address) {
    return "PORTULA-SIM-" + address;
}

std::optional<Reply> Module::answerLine() {
    m_readings.resize(m_modules.size(), 0);
    for (std::size_t i = 0; i < m_modules.size(); ++i) {
        const ModuleConfig& module = m_modules[i];
        const auto reply = answer(module, m_line, m_readings[i] + 1);
        if (!reply)
            continue;
        if (isReading(*reply))
            ++m_readings[i];
        std::string bytes = *reply + module.ending;
        if (m_faults.collide) {
            // The shorter reply's ending is lost in the other's bytes; the longer one's ends
            // both. The twin reads the same value.
            ModuleConfig twin = module;
            twin.identity = kTwinModule;
            bytes = onSharedBus(bytes,
                                answer(twin, m_line, m_readings[i]).value_or("") + module.ending);
        }
        return withFaults(std::move(bytes));
    }
    return std::nullopt;
}

std::optional<Reply> Module::withFaults(std::string bytes) {
    ++m_replies;
    if (m_faults.dropEvery != 0 && m_replies % m_faults.dropEvery == 0)
        return std::nullopt;
    const bool late = m_faults.lateEvery != 0 && m_replies % m_faults.lateEvery == 0;
    const bool twice = m_faults.duplicateEvery != 0 && m_replies % m_faults.duplicateEvery == 0;
    return Reply{std::move(bytes), late ? m_faults.lateMs : 0,
                 twice ? std::optional<unsigned>(m_faults.duplicateMs) : std::nullopt};
}

Module::Module(const ModbusLine& line, Faults faults) : m_faults(faults), m_modbusMode(line.mode) {
    for (const std::uint8_t id : line.ids) {
        m_slaves.emplace_back(id);
        if (faults.collide)
            m_twins.emplace_back(id, true);
    }
}

std::optional<Reply> Module::answerFrame(std::string_view frame) {
    if (!m_modbusMode)
        return std::nullopt;
    const portula::ModbusMode mode = *m_modbusMode;
    std::optional<std::string> request;
    if (mode == portula::ModbusMode::Rtu) {
        if (frame.size() <= portula::kRtuMaxFrame)
            request = portula::rtuPayload(frame);
    } else if (const std::size_t colon = frame.rfind(':'); colon != frame.npos) {
        // A new ':' starts the frame over: what came before it was a frame cut short.
        request = portula::asciiPayload(frame.substr(colon));
    }
    if (!request || request->size() < 2)
        return std::nullopt; // a slave ignores what fails its check
    std::optional<std::string> reply;
    for (std::size_t i = 0; i < m_slaves.size(); ++i) {
        const std::optional<std::string> own = m_slaves[i].answer(*request);
        const std::optional<std::string> twins =
            m_twins.empty() ? std::nullopt : m_twins[i].answer(*request);
        if (!own)
            continue;
        std::string bytes = portula::modbusFrame(mode, *own);
        if (twins) // both transmit at once; the twin's tables hold the opposite of the slave's
            bytes = onSharedBus(bytes, portula::modbusFrame(mode, *twins));
        reply = std::move(bytes);
    }
    if (!reply)
        return std::nullopt;
    return withFaults(std::move(*reply));
}

std::vector<Reply> Module::receive(std::string_view bytes) {
    std::vector<Reply> out;
    if (m_modules.empty())
        return out; // Modbus slaves answer frames
    if (m_modules.front().echo) {
        if (!bytes.empty())
            out.push_back(Reply{std::string(bytes), 0});
        return out;
    }
    for (char c : bytes) {
        if (c == '\n')
            continue;
        if (c != '\r') {
            if (m_line.size() < 4096)
                m_line.push_back(c);
            continue;
        }
        if (auto reply = answerLine())
            out.push_back(std::move(*reply));
        m_line.clear();
    }
    return out;
}

std::string Module::feed(std::string_view bytes) {
    std::string out;
    for (const Reply& reply : receive(bytes))
        out += reply.bytes;
    return out;
}

} // namespace sim
