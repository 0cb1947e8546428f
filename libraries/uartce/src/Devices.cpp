// The choice of backend by the device's name.

#include "Platform.h"

#include <uartce.h>

namespace uartce::platform {

OpenResult openDevice(const std::string& name, const LineSettings& settings) {
    const RemoteName remote = parseRemoteName(name);
    switch (remote.kind) {
    case RemoteName::Kind::None:
        return openTty(name, settings);
    case RemoteName::Kind::Socket:
    case RemoteName::Kind::Rfc2217:
        break;
    }
    if (!remote.fault.empty())
        return {nullptr, UARTCE_ERR_OPEN_FAILED,
                "malformed URL (" + remote.fault +
                    "); expected rfc2217://HOST:PORT or socket://HOST:PORT"};
    if (remote.kind == RemoteName::Kind::Socket)
        return openTcp(remote.host, remote.service);
    return openRfc2217(remote.host, remote.service, settings);
}

} // namespace uartce::platform
