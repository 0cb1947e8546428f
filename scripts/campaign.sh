#!/bin/sh
# Builds the campaign and what it drives, then runs it with the CI budget: at least 20,000
# exchanges, under three minutes. Exits non-zero on any wrong answer. Extra arguments go to
# portula-campaign (--seed S, --keep-going, --verbose...).
set -eu
cd "$(dirname "$0")/.."
cmake --preset default
cmake --build --preset default --target portula-campaign portula-sim portula-cmd
exec build/default/tests/campaign/portula-campaign --exchanges 20000 --seconds 170 "$@"
