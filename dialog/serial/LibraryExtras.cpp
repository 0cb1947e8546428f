#include "serial/LibraryExtras.h"

#include <cstdint>
#include <dlfcn.h>

namespace serial {

namespace {

using TextExport = std::uint32_t (*)(std::uint8_t, char*, std::uint32_t);

TextExport find(const char* name) {
    return reinterpret_cast<TextExport>(::dlsym(RTLD_DEFAULT, name));
}

std::string call(TextExport f, int port) {
    if (!f || port < 1 || port > 255)
        return {};
    char text[512];
    f(static_cast<std::uint8_t>(port), text, sizeof text);
    return text;
}

} // namespace

std::string portDescription(int port) {
    static const TextExport info = find("UARTCE_PortInfo");
    static const TextExport device = find("UARTCE_PortDevice");
    return call(info ? info : device, port);
}

std::string statusMeaning(unsigned status) {
    using StatusTextExport = const char* (*)(std::uint16_t);
    static const auto words =
        reinterpret_cast<StatusTextExport>(::dlsym(RTLD_DEFAULT, "UARTCE_StatusText"));
    const char* text =
        words && status <= 0xFFFF ? words(static_cast<std::uint16_t>(status)) : nullptr;
    return text ? text : "";
}

std::string lastOpenRefusal(int port) {
    static const TextExport lastError = find("UARTCE_LastError");
    return call(lastError, port);
}

} // namespace serial
