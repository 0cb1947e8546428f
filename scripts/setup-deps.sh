#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, when it is missing.
set -euo pipefail

# libedit-dev is portula-cmd term's line editor, tmux plays the user in its tests, picocom and
# tio are the references of term's throughput figure, clang-format checks the sources' layout
# (scripts/check-format.sh). The second last line is the Debian package's (scripts/package.sh):
# man pages, the package's Depends, its checks. The last line is the hardware rig's: the
# emulator, the guest's shell, udev, the tools that make its initramfs.
packages=(cmake g++ make qt6-base-dev libgl-dev libgtest-dev libgmock-dev desktop-file-utils clang
          libclang-rt-14-dev clang-format jq ser2net libedit-dev pkg-config tmux picocom tio
          scdoc dpkg-dev lintian file man-db groff-base bash-completion binutils
          qemu-system-x86 busybox-static udev kmod cpio)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
