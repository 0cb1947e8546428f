#!/usr/bin/env bash
# The arm64 rig: boots Debian's arm64 kernel in qemu-system-aarch64 (-M virt, TCG) with the
# console on virtio, so that the board's one PL011 (ttyAMA0, driver uart-pl011) is the tests'
# alone and wired to a portula-sim on a host pseudo-terminal, and runs the cross-built test
# program in it against the real driver. Prints the guest's test output and "rig: ..." lines;
# exits 0 only when every case ran and passed. A guest that does not boot or finish within
# the time, a case that skips itself, and a run without cases fail.
# Usage: run-rig.sh GUEST_DIR TEST_PROGRAM PORTULA_SIM [--filter GTEST_FILTER] [--timeout S] [--keep]
set -euo pipefail

guest=${1:?usage: run-rig.sh GUEST_DIR TEST_PROGRAM PORTULA_SIM [options]}
program=${2:?usage: run-rig.sh GUEST_DIR TEST_PROGRAM PORTULA_SIM [options]}
sim=${3:?usage: run-rig.sh GUEST_DIR TEST_PROGRAM PORTULA_SIM [options]}
shift 3
filter= limit=120 keep=
while [ $# -gt 0 ]; do
  case $1 in
    --filter) filter=${2:?--filter needs a value}; shift 2 ;;
    --timeout) limit=${2:?--timeout needs a value}; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "run-rig: unknown option $1" >&2; exit 2 ;;
  esac
done

fail() {
  echo "rig-arm64: $*" >&2
  echo "rig: arm64 PL011: 0 passed, 1 failed"
  exit 1
}
for file in "$guest/Image" "$guest/base.cpio" "$program" "$sim"; do
  [ -f "$file" ] || fail "$file is missing"
done
command -v qemu-system-aarch64 >/dev/null || fail "qemu-system-aarch64 is missing (package qemu-system-arm)"

work=$(mktemp -d "${TMPDIR:-/tmp}/portula-rig-arm64-XXXXXX")
sim_pid=
status=1
finish() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  if [ -n "$keep" ] || [ "$status" -ne 0 ]; then
    echo "rig-arm64: the run's logs are in $work" >&2
  else
    rm -rf "$work"
  fi
}
trap finish EXIT

# The initramfs: the prepared base, then the test program (stripped: it is read at each boot)
# and the filter, as a second archive.
mkdir -p "$work/extra"
aarch64-linux-gnu-strip -o "$work/extra/rig-tests" "$program"
printf '%s' "$filter" >"$work/extra/rig-filter"
(cd "$work/extra" && find . | cpio -o -H newc --quiet) >"$work/extra.cpio"
cat "$guest/base.cpio" "$work/extra.cpio" >"$work/initrd.cpio"

# The simulated module; its first line is the pseudo-terminal QEMU wires the PL011 to.
# QEMU opens its end at 115200 baud and its PL011 model leaves it there, whatever the guest
# sets: the module listens at that rate.
"$sim" --baud 115200 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
deadline=$((SECONDS + 10))
until [ -s "$work/sim.out" ] && [ "$(wc -l <"$work/sim.out")" -ge 1 ]; do
  [ $SECONDS -lt $deadline ] && kill -0 "$sim_pid" 2>/dev/null || fail "portula-sim printed no device"
  sleep 0.05
done
pty=$(head -n 1 "$work/sim.out")

start=$SECONDS
# TCG, never KVM (see the x86 rig). QEMU is bounded by timeout: it has been seen not to end
# after the guest powered off.
qemu_status=0
timeout --kill-after=5 "$limit" qemu-system-aarch64 \
  -M virt -cpu cortex-a57 -m 512 -smp 1 -accel tcg \
  -nodefaults -no-reboot -display none -monitor none \
  -kernel "$guest/Image" -initrd "$work/initrd.cpio" \
  -append "console=hvc0 panic=-1 loglevel=4 rdinit=/init" \
  -chardev "serial,id=ama,path=$pty" -serial chardev:ama \
  -chardev "file,id=con,path=$work/console.log" \
  -device virtio-serial-device -device virtconsole,chardev=con \
  >"$work/qemu.log" 2>&1 || qemu_status=$?
took=$((SECONDS - start))

console=$work/console.log
[ -f "$console" ] || fail "QEMU wrote no console (status $qemu_status): $(tail -n 5 "$work/qemu.log")"
# The guest's test output, without the results that follow it.
sed '/^rig-results-begin/,$d' "$console" | tr -d '\r'
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  fail "the guest did not finish within $limit s"
fi
xml=$(sed -n '/^rig-results-begin/,/^rig-results-end/p' "$console" | tr -d '\r')
guest_status=$(sed -n 's/^rig-status: //p' "$console" | tr -d '\r')
[ -n "$xml" ] || fail "the guest ended without results${guest_status:+ ($guest_status)}; QEMU: $(tail -n 5 "$work/qemu.log")"
attribute() {
  sed -n "s/.*<testsuites[^>]* $1=\"\\([0-9]*\\)\".*/\\1/p" <<<"$xml" | head -n 1
}
tests=$(attribute tests) failures=$(attribute failures) errors=$(attribute errors)
skipped=$(grep -c 'result="skipped"' <<<"$xml" || true)
failed=$((${failures:-0} + ${errors:-0} + skipped))
passed=$((${tests:-0} - failed))
[ "$skipped" -eq 0 ] || echo "rig-arm64: $skipped cases skipped themselves" >&2
echo "rig: arm64 PL011: $passed passed, $failed failed"
echo "rig: arm64 guest booted and ran in $took s"
if [ "${tests:-0}" -gt 0 ] && [ "$failed" -eq 0 ] && [ "$guest_status" = 0 ]; then
  status=0
fi
[ "${tests:-0}" -gt 0 ] || echo "rig-arm64: the guest ran no test" >&2
exit $status
