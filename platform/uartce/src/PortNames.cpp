#include "PortNames.h"

namespace uartce {

std::string devicePathFor(unsigned port, const char* (*env)(const char*)) {
    const std::string variable = "UARTCE_COM" + std::to_string(port);
    if (env) {
        const char* value = env(variable.c_str());
        if (value && *value)
            return value;
    }
    return "/dev/ttyS" + std::to_string(port == 0 ? 0 : port - 1);
}

} // namespace uartce
