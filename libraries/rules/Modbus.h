#pragma once
// Modbus on a serial line, as a master sees it: RTU frames (the request's bytes, then their
// CRC-16, low byte first) and ASCII frames (':', the bytes as uppercase hex pairs, their LRC,
// CR LF), how long an RTU reply is, how long an RTU line stays quiet between frames, and the
// words for a slave's exception codes. Pure functions over bytes.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace portula {

enum class ModbusMode { Rtu, Ascii };
// "rtu" or "ascii", as the tools' --modbus takes it; none for anything else.
std::optional<ModbusMode> parseModbusMode(std::string_view name);

// The CRC-16 an RTU frame ends with: polynomial 0xA001 (reflected), starting from 0xFFFF.
std::uint16_t modbusCrc(std::string_view bytes);
// The LRC an ASCII frame ends with: the two's complement of the bytes' sum, modulo 256.
std::uint8_t modbusLrc(std::string_view bytes);

// The frame that carries a request (slave address, function, data) on the line.
std::string rtuFrame(std::string_view request);
std::string asciiFrame(std::string_view request);
std::string modbusFrame(ModbusMode mode, std::string_view request);

// A received frame's bytes without their CRC or LRC (ASCII: decoded from hex, without ':' and
// CR LF); none when the check fails or the frame has not the form (an RTU frame shorter than
// 4 bytes, an ASCII frame with a byte that is no hex digit or an odd count of them).
std::optional<std::string> rtuPayload(std::string_view frame);
std::optional<std::string> asciiPayload(std::string_view frame);
std::optional<std::string> modbusPayload(ModbusMode mode, std::string_view frame);

// The longest RTU frame, address and CRC included.
inline constexpr std::size_t kRtuMaxFrame = 256;

// How long an RTU reply is, CRC included, from the bytes of it that came first: an exception
// (function | 0x80) 5; a read of coils, inputs or registers (functions 1 to 4) 5 plus its byte
// count (the third byte); a write (5, 6, 15, 16) 8. None while the bytes that tell have not
// come, and for any other function: that frame ends only with the line's silence.
std::optional<std::size_t> rtuReplyLength(std::string_view begun);

// The silence that ends an RTU frame: 3.5 characters of bitsPerCharacter bits at the rate, and
// 1.75 ms at any rate above 19200 baud.
std::chrono::microseconds rtuSilence(std::uint32_t baud, unsigned bitsPerCharacter);

// Whether a slave's normal reply to the function may repeat the request byte for byte (a
// single write, 5 and 6, and the diagnostics, 8): on a line that returns what it sends, such a
// reply cannot be told from the echo by its bytes.
bool replyMayRepeatRequest(std::uint8_t function);

// A request's function code is 1 to 127: 0 is none, and a code with 0x80 set is an exception's.
constexpr bool isRequestFunction(std::uint8_t function) {
    return function >= 1 && function <= 0x7F;
}

// Whether a reply from the request's slave with its function can be that request's, both
// without CRC or LRC: a read's byte count is what the quantity asked takes (functions 1 and 2:
// a bit a coil or input; 3 and 4: two bytes a register); a single write's reply repeats the
// request (5, 6); a multiple write's names the request's address and quantity (15, 16). An
// exception fits any request; other functions, and requests not of their function's form
// (which the slave refuses with an exception), are not checked.
bool replyFitsRequest(std::string_view request, std::string_view reply);

// The standard name of an exception code in lower case ("illegal data address"); null for a
// code without one.
const char* modbusExceptionName(unsigned code);
// "exception 2: illegal data address"; "exception 7" for a code without a name.
std::string modbusExceptionText(unsigned code);

// Bytes written as hex pairs, blanks between pairs optional ("05 03 00 00 00 0A",
// "0503000000 0a"); none for anything else (an odd digit, another character, no byte at all).
std::optional<std::string> parseHexBytes(std::string_view text);
// Bytes as uppercase hex pairs with a blank between them: "05 03 14".
std::string hexBytes(std::string_view bytes);

} // namespace portula
