#!/usr/bin/env bash
# Makes the guest the hardware rig boots: Debian's current kernel (fetched with apt-get download
# and unpacked here, never installed on the host) and an initramfs of busybox and the modules the
# rig's devices and shares need. Usage: prepare-guest.sh OUTDIR
# Leaves OUTDIR/vmlinuz and OUTDIR/initrd.gz; does nothing when they are there for the current
# kernel already.
set -euo pipefail

out=${1:?usage: prepare-guest.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
[ -n "$package" ] || { echo "prepare-guest: apt-cache names no kernel behind linux-image-amd64" >&2; exit 1; }
version=${package#linux-image-}
stamp="$out/kernel-version"
if [ -f "$out/vmlinuz" ] && [ -f "$out/initrd.gz" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$version" ] &&
   [ "$out/initrd.gz" -nt "$here/init" ]; then
  exit 0
fi

busybox=/bin/busybox
[ -x "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 ||
  { echo "prepare-guest: $busybox is missing or not static (package busybox-static)" >&2; exit 1; }

work="$out/unpack"
rm -rf "$work" && mkdir -p "$work"
(cd "$work" && apt-get download "$package" >/dev/null 2>&1) ||
  { echo "prepare-guest: apt-get download $package failed" >&2; exit 1; }
dpkg-deb --fsys-tarfile "$work"/*.deb |
  tar -x -C "$work" --wildcards "./boot/vmlinuz-$version" "./lib/modules/$version/*"
depmod -b "$work" "$version"

# Modules for: the shares (virtio PCI, 9p), the control channel (virtio console), the USB
# controller and the FTDI adapter. Each is listed after what it needs, as modprobe would load them.
wanted=(virtio_pci 9pnet_virtio 9p virtio_console xhci_pci ftdi_sio)
moddir="$work/lib/modules/$version"
order=()
for m in "${wanted[@]}"; do
  line=$(grep -E "/${m//_/[-_]}\.ko:" "$moddir/modules.dep") ||
    { echo "prepare-guest: module $m is not in $package" >&2; exit 1; }
  deps=(${line#*:})
  for ((i = ${#deps[@]} - 1; i >= 0; i--)); do order+=("${deps[i]}"); done
  order+=("${line%%:*}")
done

root="$work/initramfs"
mkdir -p "$root"/{bin,dev,proc,sys,newroot,modules}
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$here/init" "$root/init"
chmod +x "$root/init"
: >"$root/modules/order"
for ko in "${order[@]}"; do
  name=$(basename "$ko")
  grep -qx "$name" "$root/modules/order" && continue
  cp "$moddir/$ko" "$root/modules/$name"
  echo "$name" >>"$root/modules/order"
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.gz"
cp "$work/boot/vmlinuz-$version" "$out/vmlinuz"
echo "$version" >"$stamp"
echo "prepare-guest: kernel $version, $(wc -l <"$root/modules/order") modules"
rm -rf "$work"
