#pragma once
// Small files kept per device beyond a port and its program, in a folder of the user's own
// ($XDG_RUNTIME_DIR/portula, else /tmp/portula-UID): replies still owed, an RS-485 mode to give
// back.

#include <string>

namespace uartce::platform {

// The folder, made when missing; false unless it is this user's and nobody else may write it.
bool folderReady();
// The device as one name whatever link it was opened by; a remote one as given.
std::string deviceKey(const std::string& device);
// The path of the file of that kind ("owed", "rs485") for the device's key.
std::string deviceFileName(const std::string& kind, const std::string& key);

} // namespace uartce::platform
