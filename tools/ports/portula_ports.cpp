// portula-ports: which device each COM name stands for, and why.
//
// Prints one line per port: COM name, device, the adapter's by-id name, where the name came
// from (env, map file:line, discovered, built-in, default) and whether the device is there.
// COM1 to COM20 are always listed (the dialog offers those), higher ones when assigned. All of
// it comes from the serial library's port map, through its C interface: the program links the
// shared library and the line's rules, and no copy of the map of its own.

#include "portula_version.h"
#include "rules/Text.h"

#include <uartce.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void warn(void*, std::uint8_t, std::uint16_t, const char* text) {
    std::fprintf(stderr, "portula-ports: %s\n", text);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::puts("Usage: portula-ports [--help] [--version]\n"
                  "Prints COM name, device, by-id name, source and presence of each port.\n"
                  "\n"
                  "  --help      print this text and exit\n"
                  "  --version   print the version and exit");
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("portula-ports " PORTULA_VERSION_STRING);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "portula-ports: takes no arguments (see --help)\n");
        return 2;
    }
    UARTCE_SetMessageHandler(warn, nullptr);
    std::printf("%-6s %-40s %-50s %-28s %s\n", "PORT", "DEVICE", "BY-ID", "SOURCE", "PRESENT");
    for (unsigned com = 1; com <= 255; ++com) {
        uartce_port_info e{};
        e.size = sizeof e;
        if (UARTCE_PortMapEntry(static_cast<std::uint8_t>(com), &e) != UARTCE_OK ||
            (com > 20 && !e.assigned))
            continue;
        const std::string device = portula::escapeForLine(e.target[0] ? e.target : e.device);
        // Nothing here tells whether a server listens: a remote port is not said to be there.
        const bool remote = std::strstr(e.device, "://") != nullptr;
        std::printf("COM%-3u %-40s %-50s %-28s %s\n", com, device.c_str(),
                    e.byIdName[0] ? portula::escapeForLine(e.byIdName).c_str() : "-",
                    portula::escapeForLine(e.source).c_str(),
                    remote      ? "remote, not checked"
                    : e.present ? "yes"
                                : "absent");
    }
    return std::ferror(stdout) || std::fflush(stdout) != 0 ? 1 : 0;
}
