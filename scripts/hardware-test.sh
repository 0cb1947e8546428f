#!/usr/bin/env bash
# The emulated-hardware rigs, with no hardware and no KVM:
#  - x86: boots a QEMU guest (TCG) with a 16550 UART and an FTDI USB adapter, each wired to a
#    simulated module, and runs the hardware tests in it against the kernel's 8250 and ftdi_sio
#    drivers (tests/hardware);
#  - arm64: boots Debian's arm64 kernel on QEMU's virt board and runs the kernel RS-485 cases
#    against the uart-pl011 driver, the board's PL011 wired to a simulated module
#    (tests/hardware/arm64; its test program is cross-built into build/arm64).
# Builds what they need first. Fails, with the reason, when anything they need is missing or a
# guest does not boot or finish in time.
# Usage: hardware-test.sh [--rig x86|arm64] [--filter GTEST_FILTER] [--keep] [--timeout SECONDS]
# Without --rig both run, x86 first; the other options go to the rig(s) that run.
set -euo pipefail
cd "$(dirname "$0")/.."

rigs=(x86 arm64)
if [ "${1:-}" = --rig ]; then
  case ${2:-} in
    x86 | arm64) rigs=("$2") ;;
    *) echo "hardware-test: --rig takes x86 or arm64" >&2; exit 2 ;;
  esac
  shift 2
fi

scripts/setup-deps.sh
for program in qemu-system-x86_64 qemu-system-aarch64 aarch64-linux-gnu-g++ depmod cpio; do
  command -v "$program" >/dev/null || { echo "hardware-test: $program is missing" >&2; exit 1; }
done
[ -x /lib/systemd/systemd-udevd ] || { echo "hardware-test: systemd-udevd is missing (package udev)" >&2; exit 1; }
cmake --preset default >/dev/null

status=0
for rig in "${rigs[@]}"; do
  case $rig in
    x86)
      cmake --build --preset default -j"$(nproc)" --target portula-rig rig-guest
      build/default/tests/hardware/portula-rig "$@" || status=1
      ;;
    arm64)
      cmake --build --preset default -j"$(nproc)" --target portula-sim
      tests/hardware/arm64/prepare-guest.sh build/arm64/guest
      cmake -S tests/hardware/arm64 -B build/arm64/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" >/dev/null
      cmake --build build/arm64/tests -j"$(nproc)" --target rig-arm64-tests
      tests/hardware/arm64/run-rig.sh build/arm64/guest build/arm64/tests/rig-arm64-tests \
        build/default/tools/sim/portula-sim "$@" || status=1
      ;;
  esac
done
exit $status
