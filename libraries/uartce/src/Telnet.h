#pragma once
// Telnet with the COM-PORT-OPTION of RFC 2217, client side: a pure codec over bytes, so that
// it can be tested and fuzzed without a network. The session decodes what the server sends
// into line data and the answers owed to the server, and encodes what goes to it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace uartce::telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kOptBinary = 0;
inline constexpr std::uint8_t kOptEcho = 1;
inline constexpr std::uint8_t kOptSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands of the client; the server answers with the code + 100.
inline constexpr std::uint8_t kSetBaud = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
// SET-CONTROL values for outbound flow control.
inline constexpr std::uint8_t kFlowNone = 1;
inline constexpr std::uint8_t kFlowXonXoff = 2;
inline constexpr std::uint8_t kFlowHardware = 3;
inline constexpr std::uint8_t kPurgeData = 12;
// PURGE-DATA values: what the server received from the line, what it has yet to send on it.
inline constexpr std::uint8_t kPurgeReceived = 1;
inline constexpr std::uint8_t kPurgeBoth = 3;
inline constexpr std::uint8_t kServerOffset = 100;

// A subnegotiation longer than this is cut: no server needs more for this option, and a
// hostile one must not make the session grow.
inline constexpr std::size_t kMaxSubnegotiation = 64;

// Line settings in the option's own coding.
struct ComPortSettings {
    std::uint32_t baud = 9600;
    std::uint8_t dataSize = 8; // 5 to 8
    std::uint8_t parity = 1;   // 1 none, 2 odd, 3 even, 4 mark, 5 space
    std::uint8_t stopSize = 1; // 1 one, 2 two
    // Flow control as SET-CONTROL sets it (kFlowNone, kFlowXonXoff, kFlowHardware); 0: not
    // asked, the server's own stays.
    std::uint8_t flow = 0;
};

// Doubles every IAC byte of line data.
std::string escapeData(std::string_view data);
// IAC <verb> <option>.
std::string negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB <option> <payload, IAC doubled> IAC SE.
std::string subnegotiation(std::uint8_t option, std::string_view payload);
// Asks the server to drop buffered data (a PURGE-DATA value).
std::string purge(std::uint8_t what);

class Session {
  public:
    enum class Setup { Pending, Accepted, Refused };

    explicit Session(const ComPortSettings& wanted) : m_wanted(wanted) {}

    // The bytes that open the session: the client offers the option and sets the line.
    std::string start() const;
    // The bytes that set the line anew on a session under way; setup() is Pending again until
    // the server confirmed them all, or Refused.
    std::string change(const ComPortSettings& wanted);

    // Decodes bytes from the server, cut anywhere: line data is appended to data, the
    // answers the server is owed to replies.
    void receive(std::string_view bytes, std::string& data, std::string& replies);

    // Accepted once the server confirmed every setting as asked; Refused when it declined
    // the option or set something else (refusal() says what).
    Setup setup() const { return m_setup; }
    const std::string& refusal() const { return m_refusal; }
    // How many PURGE-DATA requests the server has confirmed so far.
    unsigned purgesConfirmed() const { return m_purgesConfirmed; }

  private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    void negotiate(std::uint8_t verb, std::uint8_t option, std::string& replies);
    void subnegotiated();
    void refuse(std::string why);
    std::string settingsRequest() const;

    ComPortSettings m_wanted;
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::string m_sub;
    bool m_subCut = false;
    // What was last said about each option, so that no request is answered twice (a loop).
    bool m_toldDo[256] = {};
    bool m_toldDont[256] = {};
    bool m_toldWill[256] = {};
    bool m_toldWont[256] = {};
    unsigned m_confirmed = 0; // bit per setting confirmed
    unsigned m_purgesConfirmed = 0;
    Setup m_setup = Setup::Pending;
    std::string m_refusal;
};

} // namespace uartce::telnet
