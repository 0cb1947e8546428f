#pragma once
// One exchange on an open port through the serial library.

#include "cmd/Cli.h"

#include <cstdint>
#include <string>

namespace cmd {

struct Exchange {
    unsigned status = 0;          // a uartce_status
    std::string reply;            // without its CR
    std::int64_t roundTripUs = 0; // from the end of the write to the reply's end
    // What came that was not this command's reply: late answers to an earlier command, and
    // answers from other addresses (the last one's bytes, for a scan to say who it was).
    unsigned late = 0;
    unsigned otherAddress = 0;
    unsigned echoes = 0;     // the line's echo of the command, whole or in part
    unsigned notReplies = 0; // noise, stray line ends, lines no module sends
    std::string lastDropped;
    unsigned exception = 0; // a Modbus slave's exception code (status UARTCE_ERR_EXCEPTION)
    bool modbus = false;    // a Modbus request, whose echo a 2-wire line returns as a rule
};

// What a failed exchange's status means, in a few words, and what the line said meanwhile: a
// command that got nothing back but itself names the likely causes.
std::string failureWords(const Exchange& e, unsigned timeoutMs);

// CR: the library frames the command and collects the reply. Other endings: what was waiting
// is dropped, the bytes go out as they are, and the library collects the reply up to a CR
// (its echo left out), for at most the time-out and at most 2047 bytes.
// firstByteMs (CR ending only, 0: the time-out): how long the reply's first byte may take.
Exchange exchange(std::uint8_t port, const std::string& text, const Options& options,
                  unsigned timeoutMs, bool checksum, unsigned firstByteMs = 0);

// A Modbus request (slave, function, data) through the library, which frames it for the mode;
// the reply without its CRC or LRC.
Exchange modbusExchange(std::uint8_t port, const std::string& request, portula::ModbusMode mode,
                        unsigned timeoutMs);

} // namespace cmd
