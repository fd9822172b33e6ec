#!/usr/bin/env bash
# Runs every fuzz target for long, each with a corpus that is kept between runs.
#   tools/fuzz.sh [SECONDS] [TARGET...]   SECONDS per target (300 by default), all targets by default
# Builds the fuzz targets in build/ first. Corpora live in build/fuzz-corpus/TARGET, crash inputs
# in build/fuzz-crashes/. Prints, per target, the runs, the coverage (edges and features) and
# the corpus size libFuzzer reports at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-300}"
shift || true
build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < "$build/tests/fuzz/targets.txt"
fi
for target in "${targets[@]}"; do
  cmake --build "$build" --target "${target}_target" > /dev/null
done
mkdir -p "$build/fuzz-crashes"
status=0
for target in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  dict="tests/fuzz/${target%_fuzz}.dict"
  args=(-max_total_time="$seconds" -print_final_stats=1
        -artifact_prefix="$build/fuzz-crashes/$target-")
  [ -f "$dict" ] && args+=(-dict="$dict")
  log="$build/fuzz-crashes/$target.log"
  echo "== $target: $seconds s"
  if "$build/tests/fuzz/$target" "$corpus" "${args[@]}" > "$log" 2>&1; then
    grep -E '^#[0-9]+.*DONE' "$log" | tail -n 1 || true
    grep -E '^stat::number_of_executed_units' "$log" || true
  else
    status=1
    echo "   FAILED: see $log"
    grep -E 'invariant broken|ERROR:|SUMMARY' "$log" | head -n 5 || true
  fi
done
exit "$status"
