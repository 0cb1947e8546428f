#pragma once
// What the serial library may offer beyond its six functions, looked up when the program runs:
// a library that has only the six serves as well, and then these say nothing.

#include <string>

namespace serial {

// One line about COM<port>'s device for its tooltip; empty when the library names no device.
std::string portDescription(int port);

// Why the last open of COM<port> was refused; empty when the library does not say.
std::string lastOpenRefusal(int port);

// The library's words for a status code, for the operator who wants more than its number;
// empty when the library does not say.
std::string statusMeaning(unsigned status);

} // namespace serial
