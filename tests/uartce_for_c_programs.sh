#!/usr/bin/env bash
# The serial library as someone else's C program uses it. The build is installed into a scratch
# DESTDIR; a C99 program is compiled with every warning an error against the installed header
# and linked with what pkg-config says for uartce, found there (PKG_CONFIG_SYSROOT_DIR); the
# staged tree is then put at its prefix (a link) and the program runs by its own RUNPATH. It
# opens a port whose device does not exist and must be refused with UARTCE_ERR_NO_DEVICE, the
# reason naming the device. The .pc's Version must be the installed library's.
#
#   uartce_for_c_programs.sh CMAKE BUILD_DIR LIBDIR CC [CFLAGS [LDFLAGS]]
#
# LIBDIR is the build's CMAKE_INSTALL_LIBDIR; CFLAGS and LDFLAGS are the build's own (a
# sanitizer build's program needs its runtime too).
set -euo pipefail

cmake=$1 build=$2 libdir=$3 cc=$4 cflags=${5:-} ldflags=${6:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
fail() {
  echo "FAIL: $*"
  exit 1
}

prefix=$work/prefix
root=$work/root
DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install"; }

export PKG_CONFIG_PATH=$root$prefix/$libdir/pkgconfig
export PKG_CONFIG_LIBDIR=$PKG_CONFIG_PATH # nothing but the installed .pc
export PKG_CONFIG_SYSROOT_DIR=$root
pkg-config --exists --print-errors uartce || fail "no uartce.pc in $prefix/$libdir/pkgconfig"
# The libdir as the .pc says it (pkgconf puts the sysroot before it, pkg-config does not).
pc_libdir=$(pkg-config --variable=libdir uartce)
pc_libdir=${pc_libdir#"$root"}
[[ $pc_libdir == "$prefix/"* ]] || fail "libdir $pc_libdir is not under the prefix $prefix"

# The Version is the library's: the installed file is libuartce.so.VERSION.
version=$(pkg-config --modversion uartce)
[[ -f $root$pc_libdir/libuartce.so.$version ]] ||
  fail "Version $version, but $pc_libdir holds: $(ls "$root$pc_libdir" 2>&1 | tr '\n' ' ')"

cat >"$work/open_missing.c" <<'PROGRAM'
#include <uartce.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* open_missing PORT DEVICE: COM<PORT> names DEVICE, which does not exist. */
int main(int argc, char** argv) {
    uint8_t port;
    uint16_t status;
    char reason[512] = "";

    if (argc != 3)
        return 2;
    port = (uint8_t)atoi(argv[1]);
    status = Open_Com(port, 9600, 8, 0, 1);
    if (status != UARTCE_ERR_NO_DEVICE) {
        printf("Open_Com gave %u, not UARTCE_ERR_NO_DEVICE (%d)\n", (unsigned)status,
               (int)UARTCE_ERR_NO_DEVICE);
        return 1;
    }
    if (UARTCE_LastError(port, reason, sizeof reason) == 0 || strstr(reason, argv[2]) == NULL) {
        printf("the reason '%s' does not name %s\n", reason, argv[2]);
        return 1;
    }
    printf("refused as it should be: %s\n", reason);
    return 0;
}
PROGRAM

# shellcheck disable=SC2046,SC2086 # the flags are lists of words
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror $cflags $(pkg-config --cflags uartce) \
  "$work/open_missing.c" -o "$work/open_missing" $ldflags $(pkg-config --libs uartce) ||
  fail "the program does not build with the installed header and pkg-config's flags"

runpath=$(readelf -d "$work/open_missing" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
[[ ":$runpath:" == *":$pc_libdir:"* ]] || fail "RUNPATH '$runpath' does not name $pc_libdir"

# The staged tree in place: the program finds the library by its RUNPATH alone.
ln -s "$root$prefix" "$prefix"
found=$(ldd "$work/open_missing" | sed -n 's|^[[:space:]]*libuartce\.so[^ ]* => \(/[^ ]*\) .*|\1|p')
[[ $(realpath -m "${found:-/nowhere}") == "$(realpath -m "$root$pc_libdir/libuartce.so.$version")" ]] ||
  fail "libuartce is found at '$found', not in $pc_libdir"
missing=$work/no-such-tty
UARTCE_COM7=$missing XDG_CONFIG_HOME=$work XDG_RUNTIME_DIR=$work \
  "$work/open_missing" 7 "$missing" || fail "open_missing"
echo "uartce $version: installed, built with pkg-config, refused COM7 as it should"
