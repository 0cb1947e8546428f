#include "app/CommandLine.h"

#include "portula_version.h"

#include <cstring>
#include <string_view>

namespace app {

StartAction startActionFor(std::span<char* const> args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view a = args[i] ? args[i] : "";
        if (a == "--help" || a == "-h")
            return StartAction::PrintHelp;
        if (a == "--version")
            return StartAction::PrintVersion;
    }
    return StartAction::RunDialog;
}

namespace {
bool set(const char* value) {
    return value && *value;
}

// The platform named by -platform NAME, -platform=NAME or QT_QPA_PLATFORM, without its
// options ("offscreen:size=..." is offscreen).
std::string_view chosenPlatform(std::span<char* const> args,
                                const std::function<const char*(const char*)>& env) {
    std::string_view chosen;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view a = args[i] ? args[i] : "";
        if ((a == "-platform" || a == "--platform") && i + 1 < args.size() && args[i + 1])
            chosen = args[i + 1];
        else if (a.starts_with("-platform="))
            chosen = a.substr(std::strlen("-platform="));
    }
    if (chosen.empty()) {
        const char* variable = env("QT_QPA_PLATFORM");
        chosen = variable ? variable : "";
    }
    return chosen.substr(0, chosen.find(':'));
}
} // namespace

bool displayAvailable(std::span<char* const> args,
                      const std::function<const char*(const char*)>& env) {
    const std::string_view platform = chosenPlatform(args, env);
    if (platform.empty())
        return set(env("DISPLAY")) || set(env("WAYLAND_DISPLAY"));
    // A platform list ("wayland;xcb") falls back in order: one reachable entry is enough.
    bool needsDisplay = true;
    for (std::string_view rest = platform; !rest.empty();) {
        const std::size_t end = rest.find(';');
        const std::string_view name = rest.substr(0, end);
        if (name.starts_with("xcb") && set(env("DISPLAY")))
            return true;
        if (name.starts_with("wayland") && set(env("WAYLAND_DISPLAY")))
            return true;
        if (!name.starts_with("xcb") && !name.starts_with("wayland"))
            needsDisplay = false;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return !needsDisplay;
}

std::string usageText() {
    return "Usage: portula [--help] [--version]\n"
           "A serial-port test terminal: pick a COM port and its line settings, open it, send a\n"
           "command such as $01M and read the module's reply.\n"
           "\n"
           "  --help      print this text and exit\n"
           "  --version   print the version and exit\n"
           "\n"
           "COMn is the device in UARTCE_COMn when that is set (a tty path, rfc2217://HOST:PORT\n"
           "or socket://HOST:PORT); see the README for the port map and adapter discovery.\n"
           "Other arguments are ignored, except Qt's own (-platform, -display, ...).\n";
}

std::string versionText() {
    return std::string(PORTULA_INTERNAL_NAME " " PORTULA_VERSION_STRING " (" PORTULA_PRODUCT_NAME
                                             ")\n");
}

} // namespace app
