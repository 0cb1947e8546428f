// The Telnet / RFC 2217 codec of remote ports: any bytes from a server, cut into pieces the
// input chooses, must decode as they do whole; escaped data must decode to itself; and the
// answers to option requests must be those of a model of RFC 1143 written apart from the codec:
// a request is answered only when it changes an option's state, a refusal only once.

#include "Telnet.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace uartce::telnet;

// The option negotiation alone, as RFC 854 and RFC 1143 put it, for a client that takes part
// in BINARY and SUPPRESS-GO-AHEAD both ways, has offered COM-PORT-OPTION and declines the rest.
class NegotiationModel {
  public:
    std::string feed(std::string_view bytes) {
        std::string replies;
        for (char ch : bytes) {
            const auto b = static_cast<std::uint8_t>(ch);
            switch (m_state) {
            case State::Data:
                if (b == kIac)
                    m_state = State::Iac;
                break;
            case State::Iac:
                if (b >= kWill && b <= kDont) {
                    m_verb = b;
                    m_state = State::Verb;
                } else {
                    m_state = b == kSb ? State::Sub : State::Data;
                }
                break;
            case State::Verb:
                request(m_verb, b, replies);
                m_state = State::Data;
                break;
            case State::Sub:
                if (b == kIac)
                    m_state = State::SubIac;
                break;
            case State::SubIac:
                if (b == kIac) {
                    m_state = State::Sub;
                } else if (b == kSe) {
                    m_state = State::Data;
                } else if (b >= kWill && b <= kDont) {
                    // A command breaks a subnegotiation off and counts as one.
                    m_verb = b;
                    m_state = State::Verb;
                } else {
                    m_state = b == kSb ? State::Sub : State::Data;
                }
                break;
            }
        }
        return replies;
    }

  private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    static bool wanted(std::uint8_t option) {
        return option == kOptBinary || option == kOptSuppressGoAhead;
    }
    void request(std::uint8_t verb, std::uint8_t option, std::string& replies) {
        auto answer = [&](std::uint8_t v) { replies += negotiation(v, option); };
        switch (verb) {
        case kWill: // the server would enable its side
            if (m_him[option])
                break;
            if (wanted(option)) {
                m_him[option] = true;
                answer(kDo);
            } else if (!m_declinedHim[option]) {
                m_declinedHim[option] = true;
                answer(kDont);
            }
            break;
        case kWont:
            if (m_him[option]) {
                m_him[option] = false;
                answer(kDont);
            }
            break;
        case kDo: // the server would have this side enable it
            if (option == kOptComPort) {
                m_us[option] = true; // accepts the offer made at the start
                break;
            }
            if (m_us[option])
                break;
            if (wanted(option)) {
                m_us[option] = true;
                answer(kWill);
            } else if (!m_declinedUs[option]) {
                m_declinedUs[option] = true;
                answer(kWont);
            }
            break;
        case kDont:
            if (m_us[option]) {
                m_us[option] = false;
                answer(kWont);
            }
            break;
        default:
            break;
        }
    }

    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    bool m_him[256] = {};
    bool m_us[256] = {};
    bool m_declinedHim[256] = {};
    bool m_declinedUs[256] = {};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    Session whole(ComPortSettings{});
    Session pieces(ComPortSettings{});
    std::string wholeData, wholeReplies, pieceData, pieceReplies;
    whole.receive(all, wholeData, wholeReplies);
    // Cutting the stream anywhere must not change what it means.
    std::size_t at = 0;
    while (at < size) {
        const std::size_t step = 1 + data[at] % 7;
        const std::size_t n = step < size - at ? step : size - at;
        pieces.receive(all.substr(at, n), pieceData, pieceReplies);
        at += n;
    }
    if (wholeData != pieceData || wholeReplies != pieceReplies || whole.setup() != pieces.setup())
        std::abort();
    if (wholeData.size() > size)
        std::abort();
    NegotiationModel model;
    if (model.feed(all) != wholeReplies)
        std::abort();
    // Escaped data decodes to itself.
    Session echo(ComPortSettings{});
    std::string back, none;
    echo.receive(escapeData(all), back, none);
    if (back != all || !none.empty())
        std::abort();
    return 0;
}
