#pragma once
// The kernel's RS-485 mode of a local serial device (TIOCSRS485 / TIOCGRS485), and the mode it
// had before, given back when the port closes or, after a holder that was killed, at the next
// open.

#include "Rs485Settings.h"

#include <linux/serial.h>
#include <optional>
#include <string>

namespace uartce::platform {

class Rs485Keeper {
  public:
    // On a device just taken: the mode a holder that ended without giving it back had
    // written down, put back, and the record forgotten.
    static void giveBackLeftOver(int fd, const std::string& path);

    // Sets the mode and reads it back. The mode found before the first change is written down
    // before that change is made.
    Rs485Outcome set(int fd, const std::string& path, const uartce_rs485& asked);

    // The mode found before the first change, put back; its record forgotten.
    void giveBack(int fd);

  private:
    std::optional<serial_rs485> m_found;
    std::string m_record; // the record's path while one is written
};

} // namespace uartce::platform
