#pragma once
// The record that every handler of the terminal dialog shares: line settings, send mode,
// the outgoing frame, the reply text and the slot-routing state.

#include <cstddef>
#include <cstdint>

enum SendMode : std::uint8_t {
    SEND_NONE = 0,  // the text's bytes alone
    SEND_CR = 1,    // the text as a library command; the reply is collected
    SEND_LF = 2,    // text, 0x0A
    SEND_LF_CR = 3, // text, 0x0A, 0x0D
    SEND_CR_LF = 4, // text, 0x0D, 0x0A
    SEND_DEF = 5,   // text, then the bytes of the hexadecimal suffix field
};

inline constexpr std::size_t kSendBufferSize = 1024;
inline constexpr std::size_t kReplyTextSize = 2048;

struct TerminalState {
    std::uint16_t port = 2;        // COM port number, 1 to 20
    std::uint32_t baudRate = 9600; // bits per second
    std::uint16_t dataBits = 8;    // 5 to 8
    std::uint16_t parity = 0;      // 0 none, 1 odd, 2 even
    std::uint16_t stopBits = 0;    // 0 until the operator picks; then 1 or 2
    std::uint16_t checksum = 0;    // 0 off, 1 on
    std::uint16_t timeout = 200;   // library time-out in milliseconds; never changed
    std::uint8_t sendMode = SEND_CR;
    char sendBuffer[kSendBufferSize] = "$01M";
    char replyText[kReplyTextSize] = {}; // always zero-terminated within its size
    // Bytes held in replyText. Received data may carry zero bytes, which the text's first zero
    // would hide; every byte up to this length is shown.
    std::size_t replyLength = 0;
    std::uint32_t libraryOut = 0; // written by the library, read by nobody
    std::int8_t slotSwitchOn = 0; // 1 while the slot box is ticked
    std::int8_t slotNumber = 0;   // 1 to 7 once chosen, 0 before
};

// The one instance, with static storage: it holds its initial values before anything runs.
extern TerminalState terminalState;
