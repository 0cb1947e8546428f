#!/usr/bin/env bash
# Builds the Debian package build/package/portula_<version>_<arch>.deb with CPack, then checks
# it: lintian (no errors), and packaging/check-deb.sh (its files, conffile, Depends, RUNPATH,
# man pages through groff with every warning failing, documents, bash completion). Exits
# non-zero when the package is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

scripts/setup-deps.sh

# scdoc dates the man pages; the last commit's date makes a rebuild of one source the same.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

# Debian's flags (optimisation, hardening). CMake reads no CPPFLAGS: they join the compilers'.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake --preset package \
  -DCMAKE_C_FLAGS="$CFLAGS $CPPFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build --preset package -j"$(nproc)"

out=build/package
mkdir -p "$out"
rm -f "$out"/portula_*.deb
(cd build/package-build && cpack -G DEB -B "$PWD/../package" >/dev/null)
rm -rf "$out/_CPack_Packages"
debs=("$out"/portula_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package.sh: no package made" >&2; exit 1; }
deb=${debs[0]}

echo "== lintian $deb"
report=$(lintian --fail-on error --display-info "$deb") || { echo "$report"; exit 1; }
echo "$report"
# One warning is kept: a package versioned as the project alone is "native" to lintian, which
# then wants changelog.gz; Debian's changelog is changelog.Debian.gz. Any other warning fails.
others=$(grep '^W: ' <<<"$report" | grep -v ' wrong-name-for-changelog-of-native-package ' || true)
if [ -n "$others" ]; then
  echo "package.sh: lintian warns:" >&2
  echo "$others" >&2
  exit 1
fi

echo "== packaging/check-deb.sh $deb"
packaging/check-deb.sh "$deb"

echo "package.sh: $deb made and checked in $((SECONDS - start)) s"
