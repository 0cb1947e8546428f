#!/usr/bin/env bash
# Builds Portula and runs every test headless. Exits non-zero on any failure.
# PRESET=asan runs the suite under the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${PRESET:-default}
scripts/setup-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --preset "$preset" -j"$(nproc)" --timeout 300
