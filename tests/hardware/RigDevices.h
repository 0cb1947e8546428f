#pragma once
// What the host side builds into the guest and the guest's tests look for: one place, so the
// two sides cannot drift apart.

namespace rig {

// The adapter's USB serial number. A real adapter's is fixed, so its /dev/serial/by-id name
// stays the same in whatever socket it is plugged; QEMU's default would name the socket.
inline constexpr const char* kAdapterSerial = "A10K5XYZ";
// The name udev gives it in the guest: QEMU's usb-serial reports maker and model as QEMU.
inline constexpr const char* kAdapterById =
    "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_A10K5XYZ-if00-port0";
inline constexpr const char* kAdapterNode = "/dev/ttyUSB0";
// The second 16550; ttyS0 is the guest's console, ttyS2 and ttyS3 are placeholders.
inline constexpr const char* kUartNode = "/dev/ttyS1";

// The virtio console port the guest's tests ask the host through, one request a line:
//   unplug [DELAY_MS]   takes the adapter out (after DELAY_MS), answers once it is gone
//   plug SOCKET         puts it back into USB socket 1 or 2, answers once QEMU added it
//   wire uart|adapter   the line settings the guest's driver last programmed into the device,
//                       as "baud=9600 parity=N data=8 stop=1"
//   mcr-reset uart      forgets the 16550's modem-control register writes seen so far
//   mcr uart            the values the guest's driver wrote to that register since the reset,
//                       in order, two hex digits each: "ok 08 0b 0b" (bit 0 DTR, bit 1 RTS)
// Answers are "ok[ DETAIL]" or "error REASON".
inline constexpr const char* kControlPortName = "portula.rig";

} // namespace rig
