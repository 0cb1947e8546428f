// portula-ports: which device each COM name stands for, and why.
//
// Prints one line per port: COM name, device, the adapter's by-id name, where the name came
// from (env, map file:line, discovered, built-in, default) and whether the device is there.
// COM1 to COM20 are always listed (the dialog offers those), higher ones when assigned.

#include "Messages.h"
#include "Platform.h"
#include "portula_version.h"

#include <cstdio>
#include <cstring>

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
    const uartce::PortMap map = uartce::buildPortMap(uartce::platform::scanPortMapInputs());
    for (const std::string& warning : map.warnings)
        std::fprintf(stderr, "portula-ports: %s\n", uartce::escapeForLine(warning).c_str());
    std::printf("%-6s %-40s %-50s %-28s %s\n", "PORT", "DEVICE", "BY-ID", "SOURCE", "PRESENT");
    for (unsigned com = 1; com <= uartce::kMaxCom; ++com) {
        if (com > 20 && map.assigned.count(com) == 0)
            continue;
        const uartce::PortEntry e = map.entryFor(com);
        const std::string device = uartce::escapeForLine(e.target.empty() ? e.device : e.target);
        std::printf("COM%-3u %-40s %-50s %-28s %s\n", com, device.c_str(),
                    e.byIdName.empty() ? "-" : uartce::escapeForLine(e.byIdName).c_str(),
                    uartce::escapeForLine(uartce::sourceText(e)).c_str(),
                    e.present ? "yes" : "absent");
    }
    return 0;
}
