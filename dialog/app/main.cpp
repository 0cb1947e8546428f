#include "app/CommandLine.h"
#include "app/TerminalApp.h"

#include <cstdio>
#include <cstdlib>

// The application object, constructed during static initialisation.
CTerminalApp theApp;

int main(int argc, char** argv) {
    const std::span<char* const> args(argv, static_cast<std::size_t>(argc));
    switch (app::startActionFor(args)) {
    case app::StartAction::PrintHelp:
        std::fputs(app::usageText().c_str(), stdout);
        return 0;
    case app::StartAction::PrintVersion:
        std::fputs(app::versionText().c_str(), stdout);
        return 0;
    case app::StartAction::RunDialog:
        break;
    }
    if (!app::displayAvailable(args, [](const char* name) { return std::getenv(name); })) {
        std::fputs("portula: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are "
                   "not set); start it from a desktop session\n",
                   stderr);
        return 3;
    }
    return AfxGetApp()->Run(argc, argv);
}
