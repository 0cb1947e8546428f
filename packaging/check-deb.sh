#!/usr/bin/env bash
# Checks a built portula .deb: its control fields (Depends from dpkg-shlibdeps), every file it
# must hold and nothing public it must not, the conffile, the programs' RUNPATH into the private
# library folder, the programs running from the unpacked tree, the man pages (against groff,
# the programs' --help and the sources' exit statuses and status codes), the documents, the
# example port map and the bash completion. Prints one line per failed check; exits 1 when any failed.
#
#   packaging/check-deb.sh build/package/portula_<version>_<arch>.deb
set -uo pipefail

deb=${1:?usage: check-deb.sh PACKAGE.deb}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
failures=0
checks=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# expect WHAT COMMAND...: counts a check, and reports WHAT when the command fails.
expect() {
  local what=$1
  shift
  checks=$((checks + 1))
  "$@" >/dev/null 2>&1 || fail "$what"
}

[[ -f $deb ]] || { echo "FAIL: no package at $deb"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

version=$(sed -nE 's/^project\(Portula VERSION ([0-9.]+) .*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
private=usr/lib/$multiarch/portula
programs=(portula portula-cmd portula-sim portula-ports)

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
expect "Package is portula" test "$(field Package)" = portula
expect "Version $(field Version) is not the project's $version" \
  test "$(field Version)" = "$version"
expect "Architecture $(field Architecture) is not $arch" test "$(field Architecture)" = "$arch"
expect "file name is not portula_$(field Version)_$arch.deb" \
  test "$(basename "$deb")" = "portula_$(field Version)_$arch.deb"
for f in Section Priority Maintainer Description; do
  expect "no $f field" test -n "$(field $f)"
done
expect "Description has no long part" test "$(field Description | wc -l)" -gt 3
depends=$(field Depends)
# dpkg-shlibdeps writes versioned dependencies from the libraries' symbols files; the programs
# link the C library and Qt's widgets, and nothing may ask for the package's own libraries.
expect "Depends has no versioned libc6 (not from dpkg-shlibdeps): '$depends'" \
  grep -qE '(^|, )libc6 \(>= [0-9]' <<<"$depends"
expect "Depends lacks Qt's widgets library: '$depends'" grep -qE '(^|, )libqt6widgets6( |,|$)' <<<"$depends"
expect "Depends asks for the private libraries: '$depends'" \
  bash -c '! grep -qiE "uartce|korvexsdk" <<<"$1"' _ "$depends"

# Files. Every one the package must hold, as dpkg-deb -c lists them.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/list"
wanted=(
  /usr/bin/portula /usr/bin/portula-cmd /usr/bin/portula-sim /usr/bin/portula-ports
  "/$private/libuartce.so.2" "/$private/libkorvexsdk.so.1"
  /usr/share/applications/portula.desktop
  /usr/share/icons/hicolor/scalable/apps/portula.svg
  /usr/share/bash-completion/completions/portula-cmd
  /etc/portula/ports.conf
  /usr/share/doc/portula/copyright /usr/share/doc/portula/changelog.Debian.gz
  /usr/share/doc/portula/README.md.gz /usr/share/doc/portula/status-codes.txt
)
for size in 16 32 48 64 128; do
  wanted+=("/usr/share/icons/hicolor/${size}x$size/apps/portula.png")
done
for p in "${programs[@]}"; do
  wanted+=("/usr/share/man/man1/$p.1.gz")
done
for f in "${wanted[@]}"; do
  expect "the package lacks $f" grep -qxF -- "$f" "$work/list"
done
# The libraries are private: no copy, link or development link in the public folders.
expect "a public library or link to one: $(grep -E '^/usr/lib/([^/]+/)?lib(uartce|korvexsdk)' "$work/list" | tr '\n' ' ')" \
  bash -c '! grep -qE "^/usr/lib/([^/]+/)?lib(uartce|korvexsdk)" "$1"' _ "$work/list"
expect "a development link (lib*.so) in the private folder" \
  bash -c '! grep -qE "^/$1/lib[^/]*\.so$" "$2"' _ "$private" "$work/list"
expect "headers in the package" bash -c '! grep -q "^/usr/include" "$1"' _ "$work/list"
expect "a pkg-config file in the package: $(grep '\.pc$' "$work/list" | tr '\n' ' ')" \
  bash -c '! grep -q "\.pc$" "$1"' _ "$work/list"

# The conffile, and nothing in /etc that is not one.
dpkg-deb -e "$deb" "$work/control"
expect "/etc/portula/ports.conf is not a conffile" grep -qxF /etc/portula/ports.conf "$work/control/conffiles"
for f in $(grep '^/etc/.*[^/]$' "$work/list"); do
  expect "$f in /etc is not a conffile" grep -qxF "$f" "$work/control/conffiles"
done

# The unpacked tree: RUNPATH, and what the programs find through it.
root=$work/root
dpkg-deb -x "$deb" "$root"
for p in "${programs[@]}"; do
  bin=$root/usr/bin/$p
  needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  runpath=$(readelf -d "$bin" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  # The dialog, portula-cmd and the lister use the serial library; the simulator has the parts
  # it needs built in.
  case $p in
    portula | portula-cmd | portula-ports)
      expect "$p does not link libuartce.so.2" grep -qx libuartce.so.2 <<<"$needed" ;;
  esac
  if grep -qE '^lib(uartce|korvexsdk)' <<<"$needed"; then
    expect "$p: RUNPATH '$runpath' is not \$ORIGIN/../lib/$multiarch/portula" \
      test "$runpath" = "\$ORIGIN/../lib/$multiarch/portula"
    for lib in $(grep -E '^lib(uartce|korvexsdk)' <<<"$needed"); do
      found=$(ldd "$bin" | sed -n "s|^[[:space:]]*$lib => \(/[^ ]*\) .*|\1|p")
      expect "$p: $lib is found at '$found', not in $private" \
        test "$(realpath -m "${found:-/nowhere}")" = "$(realpath -m "$root/$private/$lib")"
    done
  fi
  expect "$p: a library is not found: $(ldd "$bin" | grep 'not found' | tr -s ' \n' ' ')" \
    bash -c '! ldd "$1" | grep -q "not found"' _ "$bin"
done
for lib in "$root/$private"/lib*.so.*; do
  [[ -f $lib && ! -L $lib ]] || continue
  expect "$(basename "$lib"): a library is not found" bash -c '! ldd "$1" | grep -q "not found"' _ "$lib"
  expect "$(basename "$lib") is not stripped" bash -c 'file "$1" | grep -q ", stripped"' _ "$lib"
done

# --version and --help from the unpacked programs, with no display: the dialog needs none.
for p in "${programs[@]}"; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/$p" --version 2>&1)
  expect "$p --version says '$out', not version $version" grep -qE "^(${p}|Portula) $version( |$)" <<<"$out"
  expect "$p --help fails" env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$p" --help
done

# Man pages: each renders without warnings, names its program and the version, has the
# sections a reader looks for, and documents what the program's --help offers and no more.
# page_text PAGE: the page as man shows it, wide enough that no heading wraps.
page_text() { LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$1" 2>/dev/null | col -bx; }
# section NAME: the lines of a section of the page text on standard input, without its heading.
section() { awk -v name="$1" '/^[A-Z]/ { on = ($0 == name); next } on'; }
# item_numbers: the numbers that head an item (an exit status); table_numbers: those that begin
# a table's row (a status code). From a section on standard input, sorted, one a line.
item_numbers() { sed -nE 's/^ {7}([0-9]+)$/\1/p' | sort -un; }
table_numbers() { sed -nE 's/^ {7}([0-9]+) {2,}[^ ].*/\1/p' | sort -un; }
# Every page in the package, not only the programs': groff itself, tables through tbl.
for page in $(grep -E '^/usr/share/man/.+\.gz$' "$work/list"); do
  groff_out=$(zcat "$root$page" | groff -t -man -ww -z 2>&1)
  groff_rc=$?
  expect "groff warns about $page: $groff_out" test "$groff_rc" -eq 0 -a -z "$groff_out"
done
for p in "${programs[@]}"; do
  page=$root/usr/share/man/man1/$p.1.gz
  [[ -f $page ]] || continue
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  expect "man page of $p: $warnings" test -z "$warnings"
  text=$(page_text "$page")
  expect "man page of $p: NAME is not '$p - ...'" \
    grep -qE "^ +${p//-/\\-} +- [a-z]" <<<"$(section NAME <<<"$text")"
  expect "man page of $p does not show version $version" grep -qF "$version" <<<"$text"
  for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES "SEE ALSO"; do
    expect "man page of $p has no $heading section" grep -qx "$heading" <<<"$text"
  done
  expect "man page of $p sends the reader to the README" bash -c '! grep -qi readme <<<"$1"' _ "$text"
  # The options --help lists (long ones, and short ones before their long name), against the
  # options that head an item of OPTIONS. Every one listed must have its item, and every item
  # must be an option --help knows (-platform and the like, which the dialog passes to Qt, are
  # in its --help too).
  help=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$p" --help 2>&1)
  listed=$( (grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help"
    sed -nE 's/^ +(-[a-zA-Z]), --.*/\1/p' <<<"$help") | sort -u)
  known=$(grep -oE -- '(^|[][ (,|])--?[a-z][a-z0-9-]*' <<<"$help" | sed -E 's/^[^-]*//' | sort -u)
  items=$(section OPTIONS <<<"$text" | sed -nE 's/^ {7}(-.*)/\1/p' |
    grep -oE -- '(^|[ ,|[])--?[a-z][a-z0-9-]*' | sed -E 's/^[^-]*//' | sort -u)
  undocumented=$(comm -23 <(echo "$listed") <(echo "$items") | tr '\n' ' ')
  unknown=$(comm -13 <(echo "$known") <(echo "$items") | tr '\n' ' ')
  expect "man page of $p lacks an item for $undocumented(in --help)" test -z "$undocumented"
  expect "man page of $p has options --help does not know: $unknown" test -z "$unknown"
  expect "man page of $p: no option items found" test -n "$items"
done

# portula-cmd: its synopsis has every mode, and its exit statuses are those of its source.
cmd_text=$(page_text "$root/usr/share/man/man1/portula-cmd.1.gz")
for mode in scan soak term; do
  expect "portula-cmd's synopsis lacks $mode" \
    grep -qE "^ +portula-cmd $mode " <<<"$(section SYNOPSIS <<<"$cmd_text")"
done
cli_exits=$(sed -nE 's/^ *kExit[A-Za-z]* = ([0-9]+),.*/\1/p' "$source_dir/tools/cmd/Cli.h" | sort -un)
page_exits=$(section "EXIT STATUS" <<<"$cmd_text" | item_numbers)
expect "no exit statuses read from tools/cmd/Cli.h" test "$(wc -w <<<"$cli_exits")" -gt 10
expect "portula-cmd's EXIT STATUS lists $(echo $page_exits), tools/cmd/Cli.h $(echo $cli_exits)" \
  test "$page_exits" = "$cli_exits"

# The status codes: the table installed beside the README and the one in portula(1) hold every
# code of the serial library's header, and no other.
library_codes=$(sed -nE 's/^ *UARTCE_[A-Z_]+ = ([0-9]+),.*/\1/p' \
  "$source_dir/libraries/uartce/include/uartce.h" | sort -un)
file_codes=$(sed -nE 's/^ *([0-9]+)  .*/\1/p' "$root/usr/share/doc/portula/status-codes.txt" | sort -un)
dialog_codes=$(section "STATUS CODES" <<<"$(page_text "$root/usr/share/man/man1/portula.1.gz")" | table_numbers)
expect "no status codes read from uartce.h" test "$(wc -w <<<"$library_codes")" -gt 10
expect "status-codes.txt lists $(echo $file_codes), uartce.h $(echo $library_codes)" \
  test "$file_codes" = "$library_codes"
expect "portula(1)'s STATUS CODES lists $(echo $dialog_codes), uartce.h $(echo $library_codes)" \
  test "$dialog_codes" = "$library_codes"

# The README as it is in the source.
expect "README.md.gz is not the README" \
  cmp -s <(zcat "$root/usr/share/doc/portula/README.md.gz") "$source_dir/README.md"

# The changelog's newest entry is this package's version.
zcat "$root/usr/share/doc/portula/changelog.Debian.gz" >"$work/changelog"
expect "changelog.Debian.gz: newest entry is not $(field Version)" \
  test "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$(field Version)"

# The example port map has no active line, and the library reads it without a complaint.
conf=$root/etc/portula/ports.conf
expect "ports.conf has active lines: $(grep -vE '^[[:space:]]*(#|$)' "$conf" | head -n 3)" \
  bash -c '! grep -qvE "^[[:space:]]*(#|$)" "$1"' _ "$conf"
mkdir -p "$work/home"
ports_err=$(env -u XDG_CONFIG_HOME $(env | sed -n 's/^\(UARTCE_COM[0-9]*\)=.*/-u \1/p') \
  HOME="$work/home" UARTCE_SYSCONF_DIR="$root/etc" "$root/usr/bin/portula-ports" 2>&1 >"$work/ports")
expect "portula-ports complains about the example map: $ports_err" test -z "$ports_err"
expect "portula-ports takes a port from the example map" bash -c '! grep -q "ports.conf" "$1"' _ "$work/ports"

expect "the desktop entry is not valid" desktop-file-validate "$root/usr/share/applications/portula.desktop"

# The bash completion as installed, against the installed portula-cmd's --help.
completion_out=$("$here/test-completion.sh" "$root/usr/share/bash-completion/completions/portula-cmd" \
  "$root/usr/bin/portula-cmd")
completion_rc=$?
checks=$((checks + 1))
[[ $completion_rc -eq 0 ]] || fail "bash completion: $completion_out"

echo "check-deb: $((checks - failures)) of $checks checks passed"
[[ $failures -eq 0 ]]
