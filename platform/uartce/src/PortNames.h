#pragma once

#include <cstdint>
#include <string>

namespace uartce {

// The device for COM<port>: the value of UARTCE_COM<port> when set and not empty, else
// /dev/ttyS<port-1>. env is the environment lookup (getenv in the library).
std::string devicePathFor(unsigned port, const char* (*env)(const char*));

} // namespace uartce
