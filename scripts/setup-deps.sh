#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, when it is missing.
set -euo pipefail

# libedit-dev is portula-cmd term's line editor, tmux plays the user in its tests, picocom and
# tio are the references of term's throughput figure, clang-format checks the sources' layout
# (scripts/check-format.sh), python3-pymodbus (with python3-serial) is the independent Modbus
# slave of the Modbus master's tests and mbpoll the independent master of the simulator's
# slaves. The third last line is the Debian package's (scripts/package.sh):
# man pages, the package's Depends, its checks. The second last is the x86 hardware rig's: the
# emulator, the guest's shell, udev, the tools that make its initramfs. The last is the arm64
# rig's: its emulator and the cross compiler its test program is built with (the guest's kernel
# and busybox are fetched with apt-get download for the arm64 architecture, added here, and never
# installed).
packages=(cmake g++ make qt6-base-dev libgl-dev libgtest-dev libgmock-dev desktop-file-utils clang
          libclang-rt-14-dev clang-format jq ser2net libedit-dev pkg-config tmux picocom tio
          python3-pymodbus python3-serial mbpoll
          scdoc dpkg-dev lintian file man-db groff-base bash-completion binutils
          qemu-system-x86 busybox-static udev kmod cpio
          qemu-system-arm g++-aarch64-linux-gnu libc6-dev-arm64-cross)

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
update=
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo[@]}" dpkg --add-architecture arm64
  update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  # The arm64 package lists, for the rig's apt-get download.
  [ -z "$update" ] || "${sudo[@]}" apt-get update -qq
  exit 0
fi

echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
