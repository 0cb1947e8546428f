// The slot switch. Without a backplane it records the slot; with the simulator's backplane
// socket named in KORVEXSDK_BACKPLANE it tells the simulator as well, one datagram a switch.

#include <korvexsdk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
int8_t currentSlot = 0;

bool tellBackplane(const char* path, int8_t slot) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return false;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    char message[16];
    const int length = std::snprintf(message, sizeof message, "slot %d\n", slot);
    const ssize_t sent = ::sendto(fd, message, static_cast<std::size_t>(length), MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
    return sent == length;
}
} // namespace

extern "C" {

uint16_t ChangeSlotToTarn(int8_t slot) {
    if (slot < 1 || slot > 7)
        return 1;
    currentSlot = slot;
    const char* backplane = std::getenv("KORVEXSDK_BACKPLANE");
    if (backplane && *backplane && !tellBackplane(backplane, slot)) {
        std::fprintf(stderr, "KorvexSDK: the backplane at %s did not take slot %d\n", backplane,
                     slot);
        return 2;
    }
    return 0;
}

int8_t KorvexSDK_CurrentSlot(void) {
    return currentSlot;
}

} // extern "C"
