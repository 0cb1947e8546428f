#!/usr/bin/env bash
# Makes the arm64 rig's guest: Debian's current arm64 kernel and busybox (fetched with apt-get
# download and unpacked here, never installed on the host) and the base of an initramfs: busybox,
# the two modules that put the console on virtio, and the guest's init. The test program is
# added at each run (run-rig.sh), as a second archive after this one.
# Usage: prepare-guest.sh OUTDIR. Leaves OUTDIR/Image and OUTDIR/base.cpio; does nothing when
# they are there for the current kernel already.
set -euo pipefail

out=${1:?usage: prepare-guest.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

dpkg --print-foreign-architectures | grep -qx arm64 ||
  { echo "prepare-guest: the arm64 architecture is not added (scripts/setup-deps.sh adds it)" >&2; exit 1; }
package=$(apt-cache depends linux-image-arm64:arm64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
package=${package%:arm64}
[ -n "$package" ] || { echo "prepare-guest: apt-cache names no kernel behind linux-image-arm64" >&2; exit 1; }
version=${package#linux-image-}
stamp="$out/kernel-version"
if [ -f "$out/Image" ] && [ -f "$out/base.cpio" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$version" ] &&
   [ "$out/base.cpio" -nt "$here/init" ]; then
  exit 0
fi

work="$out/unpack"
rm -rf "$work" && mkdir -p "$work/kernel" "$work/busybox"
(cd "$work" && apt-get download "$package:arm64" busybox-static:arm64 >/dev/null 2>&1) ||
  { echo "prepare-guest: apt-get download $package:arm64 busybox-static:arm64 failed" >&2; exit 1; }
dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel"
dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"

# The console's transport and port; Debian builds both as modules, with no further dependencies.
root="$work/initramfs"
mkdir -p "$root"/{bin,dev,proc,sys,run,modules}
for m in virtio_mmio virtio_console; do
  ko=$(find "$work/kernel/lib/modules/$version" -name "$m.ko*" | head -n 1)
  [ -n "$ko" ] || { echo "prepare-guest: module $m is not in $package" >&2; exit 1; }
  case $ko in
    *.ko) cp "$ko" "$root/modules/$m.ko" ;;
    *.ko.xz) xz -dc "$ko" >"$root/modules/$m.ko" ;;
    *) echo "prepare-guest: $ko: a compression busybox insmod cannot read" >&2; exit 1 ;;
  esac
done
cp "$work/busybox/bin/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$here/init" "$root/init"
chmod +x "$root/init"
# One newc entry without data: NAME MODE (octal, type bits included) RDEV_MAJOR RDEV_MINOR.
cpio_entry() {
  local size=$((${#1} + 1)) pad
  printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X' \
    1 "$((8#$2))" 0 0 1 0 0 0 0 "$3" "$4" "$size" 0
  printf '%s\0' "$1"
  pad=$(((4 - (110 + size) % 4) % 4))
  [ "$pad" -eq 0 ] || head -c "$pad" /dev/zero
}
# The kernel does not mount devtmpfs itself, so the first console needs a node of its own; made
# here as an archive entry, since making the node itself takes root.
{
  cpio_entry dev/console 020600 5 1
  cpio_entry TRAILER!!! 0 0 0
  (cd "$root" && find . | cpio -o -H newc --quiet)
} >"$out/base.cpio"
cp "$work/kernel/boot/vmlinuz-$version" "$out/Image"
echo "$version" >"$stamp"
echo "prepare-guest: arm64 kernel $version"
rm -rf "$work"
