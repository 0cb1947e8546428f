// The Telnet / RFC 2217 codec of remote ports: any bytes from a server, cut into pieces the
// input chooses, must decode as they do whole, and escaped data must decode to itself. The
// checks live beside the codec (fuzzSession aborts on a broken invariant).

#include "Telnet.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return uartce::telnet::fuzzSession(data, size);
}
