#!/bin/sh
# The guest's second stage, PID 1 in the host's read-only root: starts udev as a desktop has it,
# runs the guest's test program, leaves its exit status in the results share and powers off.
# rig.env, written by the host side, sets PORTULA_RIG_TESTS (the test program) and
# PORTULA_RIG_FILTER (a GoogleTest filter, or empty).
# /tmp is the host's, read-only here: scratch files go to the tmpfs on /run.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin TMPDIR=/run/tmp HOME=/run/tmp \
  XDG_CONFIG_HOME=/run/tmp/config XDG_RUNTIME_DIR=/run/tmp/runtime QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
results=/run/rig

finish() {
  echo "$1" >"$results/status"
  sync
  echo o >/proc/sysrq-trigger
  # The power-off takes a moment; PID 1 must not end before it does.
  sleep 10
}

mkdir -p /dev/pts && mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
/lib/systemd/systemd-udevd --daemon --resolve-names=never >"$results/udev.log" 2>&1 ||
  { echo "rig-guest: systemd-udevd did not start" >"$results/test.log"; finish 125; }
udevadm trigger --action=add >>"$results/udev.log" 2>&1
udevadm settle --timeout=60 >>"$results/udev.log" 2>&1 ||
  { echo "rig-guest: udev did not settle within 60 s" >"$results/test.log"; finish 125; }

cd "$TMPDIR"
"$PORTULA_RIG_TESTS" --gtest_output="xml:$results/results.xml" ${PORTULA_RIG_FILTER:+--gtest_filter="$PORTULA_RIG_FILTER"} \
  >"$results/test.log" 2>&1
finish $?
