#include "Messages.h"

#include <cstdio>

namespace uartce {

std::string accessReason(const AccessFacts& f) {
    if ((f.mode & 060) == 060 && !f.userInGroup)
        return "permission denied; add the user to the " + f.group + " group (sudo adduser $USER " +
               f.group + ") and log in again";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", f.mode & 07777);
    return "permission denied: the device belongs to " + f.owner + ":" + f.group + " with mode " +
           mode;
}

} // namespace uartce
