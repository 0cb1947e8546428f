// The library's six functions over a scripted device, against a model of the byte stream: what
// arrives after a reply's CR, or between commands, must come out of Receive_Cmd exactly once and
// in order, DataSizeInCom must count it, a command discards what came before it, and its verdict
// on what came after it (echo, other modules, the reply) is the matcher's on the whole bytes.
//
// The input is a script of steps, each picked by one byte:
//   0  bytes arrive:        a length byte, then that many bytes
//   1  a command:           a flags byte (bit 0: checksum, bits 1-2: how many pieces arrive
//                           while it waits), then each piece as a length byte and its bytes
//   2  Receive_Cmd
//   3  DataSizeInCom
//   4  the device hangs up (what it holds can still be read, then it reports the hang-up)

#include "ReplyMatch.h"
#include "rules/Framing.h"
#include "scripted/ScriptedLine.h"

#include <uartce.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The scripted device's side: COM1.
uartce::scripted::Line& line = uartce::scripted::line();
using uartce::scripted::Line;

void check(bool ok) {
    if (!ok)
        std::abort();
}

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool more() const { return at < size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::string bytes(std::size_t n) {
        n = std::min(n, size - at);
        std::string s(reinterpret_cast<const char*>(data + at), n);
        at += n;
        return s;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    line = Line{};
    Reader in{data, size};
    line.readLimit = 1 + in.byte() * 3; // how the device cuts what it hands over
    check(Open_Com(1, 9600, 8, 0, 1) == UARTCE_OK);

    // What the library must still hand out, in order: what it holds and what the device holds.
    std::string expected;
    bool hungUp = false;
    bool libraryKnows = false; // the library has seen the hang-up

    while (in.more()) {
        switch (in.byte() % 5) {
        case 0: {
            const std::string bytes = in.bytes(in.byte());
            if (!hungUp) {
                line.arrived.insert(line.arrived.end(), bytes.begin(), bytes.end());
                expected += bytes;
            }
            break;
        }
        case 1: {
            const std::uint8_t flags = in.byte();
            const bool checksum = flags & 1;
            std::string during;
            for (int k = 0; k < ((flags >> 1) & 3); ++k) {
                const std::string piece = in.bytes(in.byte());
                line.duringWait.push_back(piece);
                during += piece;
            }
            if (hungUp)
                line.duringWait.clear();
            char reply[UARTCE_REPLY_BUFFER_SIZE];
            std::memset(reply, 'J', sizeof reply);
            std::uint32_t out = 99999;
            const std::size_t writtenBefore = line.written.size();
            const std::uint16_t status = Send_Receive_Cmd(1, "$01M", reply, 60000, checksum, &out);
            check(std::memchr(reply, '\0', sizeof reply) != nullptr);
            // Whatever did not arrive while it waited arrives afterwards.
            for (const std::string& piece : line.duringWait)
                line.arrived.insert(line.arrived.end(), piece.begin(), piece.end());
            line.duringWait.clear();
            if (hungUp) {
                check(status == UARTCE_ERR_HANGUP);
                // Not knowing yet, the library discarded what it held and what waited, then found
                // out on writing; knowing, it touched nothing.
                if (!libraryKnows)
                    expected.clear();
                libraryKnows = true;
                break;
            }
            const std::string frame = checksum ? "$01MD2\r" : "$01M\r";
            check(line.written.substr(writtenBefore) == frame);
            // Which bytes are the reply is the matcher's to say (its own tests hold it to its
            // rules); here the library must reach the same verdict through its reads, cut
            // wherever the device cuts them, and hand on exactly what came after.
            uartce::ReplyMatcher matcher(frame, std::string("01"), UARTCE_REPLY_BUFFER_SIZE - 1);
            const std::size_t taken = matcher.feed(during);
            if (matcher.state() != uartce::ReplyMatcher::State::Done) {
                const std::uint16_t failed =
                    matcher.state() == uartce::ReplyMatcher::State::GarbledEcho
                        ? UARTCE_ERR_GARBLED_ECHO
                    : matcher.overflow()   ? UARTCE_ERR_REPLY_TOO_LONG
                    : matcher.replyBegun() ? UARTCE_ERR_REPLY_CUT
                                           : UARTCE_ERR_NO_REPLY;
                check(status == failed);
                // A reply is owed now, which the next command would listen for; a port opened
                // anew owes nothing and holds nothing, and the device keeps what it has.
                check(Close_Com(1) == UARTCE_OK && Open_Com(1, 9600, 8, 0, 1) == UARTCE_OK);
                expected.assign(line.arrived.begin(), line.arrived.end());
                break;
            }
            const std::string body = matcher.reply();
            expected = during.substr(taken);
            if (matcher.overflow()) {
                check(status == UARTCE_ERR_REPLY_TOO_LONG);
                break;
            }
            std::size_t payload = 0;
            if (checksum && !portula::verifyReplyChecksum(body, payload)) {
                check(status == UARTCE_ERR_CHECKSUM);
                break;
            }
            const std::string shown = checksum ? body.substr(0, payload) : body;
            check(status == UARTCE_OK && out == shown.size() &&
                  std::memcmp(reply, shown.data(), shown.size()) == 0 &&
                  reply[shown.size()] == '\0');
            break;
        }
        case 2: {
            char chunk[UARTCE_RECEIVE_BUFFER_SIZE];
            std::memset(chunk, 'J', sizeof chunk);
            std::uint32_t out = 99999;
            const std::uint16_t status = Receive_Cmd(1, chunk, 200, 0, &out);
            const std::size_t n =
                std::min<std::size_t>(expected.size(), UARTCE_RECEIVE_BUFFER_SIZE - 1);
            // Reading everything the device held, the library meets the hang-up behind it.
            if (hungUp && expected.size() < UARTCE_RECEIVE_BUFFER_SIZE - 1)
                libraryKnows = true;
            if (n == 0 && hungUp) {
                check(status == UARTCE_ERR_HANGUP && out == 0 && chunk[0] == '\0');
                break;
            }
            check(status == UARTCE_OK && out == n && chunk[n] == '\0' &&
                  std::memcmp(chunk, expected.data(), n) == 0);
            expected.erase(0, n);
            break;
        }
        case 3:
            check(DataSizeInCom(1) == expected.size());
            if (hungUp && line.arrived.empty())
                libraryKnows = true;
            break;
        case 4:
            hungUp = true;
            line.hungUp = true;
            break;
        }
    }
    Close_Com(1);
    return 0;
}
