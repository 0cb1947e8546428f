#include "Telnet.h"

#include <cstdlib>

namespace uartce::telnet {

namespace {

std::string bigEndian(std::uint32_t value) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
    return s;
}

std::string_view parityName(std::uint8_t code) {
    switch (code) {
    case 1:
        return "none";
    case 2:
        return "odd";
    case 3:
        return "even";
    case 4:
        return "mark";
    case 5:
        return "space";
    default:
        return "unknown";
    }
}

std::string_view flowName(std::uint8_t code) {
    switch (code) {
    case kFlowNone:
        return "none";
    case kFlowXonXoff:
        return "XON/XOFF";
    case kFlowHardware:
        return "RTS/CTS";
    default:
        return "unknown";
    }
}

// Options this client takes part in both ways; any other is declined.
bool agreeable(std::uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead;
}

} // namespace

std::string escapeData(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (char c : data) {
        out.push_back(c);
        if (static_cast<std::uint8_t>(c) == kIac)
            out.push_back(c);
    }
    return out;
}

std::string negotiation(std::uint8_t verb, std::uint8_t option) {
    return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string subnegotiation(std::uint8_t option, std::string_view payload) {
    std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(option)};
    out += escapeData(payload);
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSe));
    return out;
}

std::string purge(std::uint8_t what) {
    const char payload[] = {static_cast<char>(kPurgeData), static_cast<char>(what)};
    return subnegotiation(kOptComPort, std::string_view(payload, sizeof payload));
}

std::string Session::start() const {
    return negotiation(kWill, kOptComPort) + settingsRequest();
}

std::string Session::change(const ComPortSettings& wanted) {
    m_wanted = wanted;
    m_confirmed = 0;
    m_setup = Setup::Pending;
    m_refusal.clear();
    return settingsRequest();
}

std::string Session::settingsRequest() const {
    std::string out = subnegotiation(kOptComPort, std::string(1, static_cast<char>(kSetBaud)) +
                                                      bigEndian(m_wanted.baud));
    auto setting = [](std::uint8_t command, std::uint8_t value) {
        return subnegotiation(kOptComPort,
                              std::string{static_cast<char>(command), static_cast<char>(value)});
    };
    out += setting(kSetDataSize, m_wanted.dataSize);
    out += setting(kSetParity, m_wanted.parity);
    out += setting(kSetStopSize, m_wanted.stopSize);
    if (m_wanted.flow != 0)
        out += setting(kSetControl, m_wanted.flow);
    return out;
}

void Session::receive(std::string_view bytes, std::string& data, std::string& replies) {
    for (char ch : bytes) {
        const auto b = static_cast<std::uint8_t>(ch);
        switch (m_state) {
        case State::Data:
            if (b == kIac)
                m_state = State::Iac;
            else
                data.push_back(ch);
            break;
        case State::Iac:
            if (b == kIac) {
                data.push_back(ch);
                m_state = State::Data;
            } else if (b >= kWill && b <= kDont) {
                m_verb = b;
                m_state = State::Verb;
            } else if (b == kSb) {
                m_sub.clear();
                m_subCut = false;
                m_state = State::Sub;
            } else {
                m_state = State::Data; // NOP, GA, AYT and the like carry nothing for us
            }
            break;
        case State::Verb:
            negotiate(m_verb, b, replies);
            m_state = State::Data;
            break;
        case State::Sub:
            if (b == kIac) {
                m_state = State::SubIac;
            } else if (m_sub.size() < kMaxSubnegotiation) {
                m_sub.push_back(ch);
            } else {
                m_subCut = true;
            }
            break;
        case State::SubIac:
            if (b == kIac) {
                if (m_sub.size() < kMaxSubnegotiation)
                    m_sub.push_back(ch);
                else
                    m_subCut = true;
                m_state = State::Sub;
            } else if (b == kSe) {
                if (!m_subCut)
                    subnegotiated();
                m_state = State::Data;
            } else {
                // IAC followed by a command inside a subnegotiation: the sender broke it off.
                m_state = State::Iac;
                m_sub.clear();
                std::string_view again(&ch, 1);
                receive(again, data, replies);
            }
            break;
        }
    }
}

void Session::negotiate(std::uint8_t verb, std::uint8_t option, std::string& replies) {
    auto say = [&](std::uint8_t answer, bool(&told)[256], bool(&opposite)[256]) {
        if (told[option])
            return;
        told[option] = true;
        opposite[option] = false;
        replies += negotiation(answer, option);
    };
    switch (verb) {
    case kWill:
        if (agreeable(option))
            say(kDo, m_toldDo, m_toldDont);
        else
            say(kDont, m_toldDont, m_toldDo);
        break;
    case kWont:
        // Only a change is answered (RFC 1143): a WONT for an option that is off already
        // asks for nothing, and answering it could start a loop.
        if (m_toldDo[option])
            say(kDont, m_toldDont, m_toldDo);
        break;
    case kDo:
        if (option == kOptComPort) {
            m_toldWill[option] = true; // it accepts our offer; nothing to answer
            m_toldWont[option] = false;
        } else if (agreeable(option))
            say(kWill, m_toldWill, m_toldWont);
        else
            say(kWont, m_toldWont, m_toldWill);
        break;
    case kDont:
        if (option == kOptComPort)
            refuse("the server declines the COM-PORT-OPTION (RFC 2217)");
        // Likewise a DONT for an option this side does not have on, or only offered.
        if (m_toldWill[option])
            say(kWont, m_toldWont, m_toldWill);
        break;
    default:
        break;
    }
}

void Session::subnegotiated() {
    if (m_sub.size() < 2 || static_cast<std::uint8_t>(m_sub[0]) != kOptComPort)
        return;
    const auto code = static_cast<std::uint8_t>(m_sub[1]);
    const std::string_view value(m_sub.data() + 2, m_sub.size() - 2);
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(value[i]); };
    unsigned bit = 0;
    switch (code) {
    case kServerOffset + kSetBaud: {
        if (value.size() != 4)
            return refuse("the server's baud rate reply is malformed");
        const std::uint32_t baud = (std::uint32_t{byte(0)} << 24) | (std::uint32_t{byte(1)} << 16) |
                                   (std::uint32_t{byte(2)} << 8) | byte(3);
        if (baud != m_wanted.baud)
            return refuse("the server set " + std::to_string(baud) + " baud instead of " +
                          std::to_string(m_wanted.baud));
        bit = 1;
        break;
    }
    case kServerOffset + kSetDataSize:
        if (value.size() != 1 || byte(0) != m_wanted.dataSize)
            return refuse("the server set data size " +
                          (value.empty() ? std::string("?") : std::to_string(byte(0))) +
                          " instead of " + std::to_string(m_wanted.dataSize));
        bit = 2;
        break;
    case kServerOffset + kSetParity:
        if (value.size() != 1 || byte(0) != m_wanted.parity)
            return refuse("the server set parity " +
                          std::string(parityName(value.empty() ? 0 : byte(0))) + " instead of " +
                          std::string(parityName(m_wanted.parity)));
        bit = 4;
        break;
    case kServerOffset + kSetStopSize:
        if (value.size() != 1 || byte(0) != m_wanted.stopSize)
            return refuse("the server set stop size " +
                          (value.empty() ? std::string("?") : std::to_string(byte(0))) +
                          " instead of " + std::to_string(m_wanted.stopSize));
        bit = 8;
        break;
    case kServerOffset + kSetControl:
        // The same command answers questions about other lines (DTR, RTS, break): only an
        // answer about outbound flow control, to a request for it, is this one's.
        if (m_wanted.flow == 0 || value.size() != 1 || byte(0) < kFlowNone ||
            byte(0) > kFlowHardware)
            return;
        if (byte(0) != m_wanted.flow)
            return refuse("the server set flow control " + std::string(flowName(byte(0))) +
                          " instead of " + std::string(flowName(m_wanted.flow)));
        bit = 16;
        break;
    case kServerOffset + kPurgeData:
        ++m_purgesConfirmed;
        return;
    default:
        return; // line and modem state notices, control replies: nothing depends on them
    }
    m_confirmed |= bit;
    const unsigned all = m_wanted.flow != 0 ? 31 : 15;
    if (m_confirmed == all && m_setup == Setup::Pending)
        m_setup = Setup::Accepted;
}

void Session::refuse(std::string why) {
    if (m_setup == Setup::Refused)
        return;
    m_setup = Setup::Refused;
    m_refusal = std::move(why);
}

} // namespace uartce::telnet
