#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS (60 by default), two
# at a time. Seeds come from fuzz/corpus/<target>; what a run finds is kept beside the build, so
# the repository's seeds stay as they are. A crash or a wrong result leaves its input under
# build/fuzz/artifacts and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
scripts/setup-deps.sh
cmake --preset fuzz >/dev/null
targets=$(sed -n 's/^portula_fuzz_target(\([a-z_0-9]*\).*/\1/p' fuzz/CMakeLists.txt)
# shellcheck disable=SC2086
cmake --build --preset fuzz -j"$(nproc)" --target $targets

out=build/fuzz
mkdir -p "$out/artifacts" "$out/logs"
run_one() {
  local t=$1 corpus=$out/corpus/$1
  mkdir -p "$corpus"
  local seeds=fuzz/corpus/${t#fuzz_}
  if "$out/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=2048 -len_control=0 \
      -artifact_prefix="$out/artifacts/$t-" "$corpus" "$seeds" >"$out/logs/$t.log" 2>&1; then
    echo "fuzz $t: $(grep -o 'Done [0-9]* runs' "$out/logs/$t.log" | tail -1) in ${seconds} s, no failure"
  else
    echo "fuzz $t: FAILED; input kept as: $(ls "$out/artifacts/$t-"* 2>/dev/null | tr '\n' ' ')"
    tail -n 40 "$out/logs/$t.log"
    return 1
  fi
}

status=0
pids=()
names=()
for t in $targets; do
  run_one "$t" &
  pids+=($!); names+=("$t")
  if [ ${#pids[@]} -ge "$(nproc)" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}"); names=("${names[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
