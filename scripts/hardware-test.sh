#!/usr/bin/env bash
# The emulated-hardware rig: boots a QEMU guest (TCG) with a 16550 UART and an FTDI USB adapter,
# each wired to a simulated module, and runs the hardware tests in it against the kernel's 8250
# and ftdi_sio drivers. Builds what it needs in the default build first. Fails, with the reason,
# when anything it needs is missing or the guest does not boot or finish in time.
# Arguments go to portula-rig (--filter GTEST_FILTER, --keep, --timeout SECONDS).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
for program in qemu-system-x86_64 depmod cpio; do
  command -v "$program" >/dev/null || { echo "hardware-test: $program is missing" >&2; exit 1; }
done
[ -x /lib/systemd/systemd-udevd ] || { echo "hardware-test: systemd-udevd is missing (package udev)" >&2; exit 1; }
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target portula-rig rig-guest
build/default/tests/hardware/portula-rig "$@"
