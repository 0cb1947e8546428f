#!/usr/bin/env bash
# Builds the libraries, the tools, their tests and portula-cmd's benchmark with Qt out of reach
# (the noqt preset: CMake does not look for it) and runs those tests: nothing but the dialog
# may need Qt. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
cmake --preset noqt >/dev/null
cmake --build --preset noqt -j"$(nproc)"
ctest --preset noqt -j"$(nproc)" --timeout 300
