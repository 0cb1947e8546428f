#pragma once
// What the program does with its command line before any window exists. Only --help and
// --version are options; every other argument is ignored, as it always has been, except that
// Qt's own (-platform, -display, ...) still reach Qt.

#include <functional>
#include <span>
#include <string>

namespace app {

enum class StartAction { RunDialog, PrintHelp, PrintVersion };

StartAction startActionFor(std::span<char* const> args);

// Whether the window system the dialog would use can be reached: a display for X11 or Wayland,
// or a platform chosen that needs none (offscreen, vnc, ...). env looks a variable up (getenv),
// returning null when it is not set.
bool displayAvailable(std::span<char* const> args,
                      const std::function<const char*(const char*)>& env);

std::string usageText();
std::string versionText();

} // namespace app
