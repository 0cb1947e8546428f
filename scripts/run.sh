#!/usr/bin/env bash
# Builds Portula and starts it with simulated modules as its peers:
#   COM2 -> a module at address 01 (9600 baud),
#   COM1 -> a backplane with a module in each of slots 1 to 7 (115200 baud).
# Set UARTCE_COM1 / UARTCE_COM2 yourself to use real ports instead.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
cmake --preset default >/dev/null
# Only what runs here: the tests and benchmarks take minutes more to build.
cmake --build --preset default -j"$(nproc)" --target portula portula-sim

bin=build/default
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts a simulator and sets sim_device to its device path once it is up. It runs in this
# shell, not in a command substitution, so that its pid reaches the cleanup list.
start_sim() {
  local out=$1; shift
  "$bin/tools/sim/portula-sim" "$@" >"$out" &
  pids+=($!)
  for _ in $(seq 100); do
    if [ -s "$out" ]; then
      sim_device=$(head -n 1 "$out")
      return 0
    fi
    sleep 0.05
  done
  echo "portula-sim did not start" >&2
  return 1
}

if [ -z "${UARTCE_COM2:-}" ]; then
  start_sim "$work/com2" --baud 9600
  export UARTCE_COM2=$sim_device
fi
if [ -z "${UARTCE_COM1:-}" ]; then
  export KORVEXSDK_BACKPLANE="$work/backplane"
  start_sim "$work/com1" --baud 115200 --backplane "$KORVEXSDK_BACKPLANE"
  export UARTCE_COM1=$sim_device
fi
echo "COM1 -> $UARTCE_COM1, COM2 -> $UARTCE_COM2"
"$bin/dialog/app/portula" "$@"
