#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan+UBSan) and runs each for a while.
# Usage: fuzz/run.sh [SECONDS_EACH] [TARGET...]   (default 600 s, all targets)
# Each target keeps its corpus in fuzz/corpus-<target>/, seeded from
# fuzz/seeds/<target>/; crashes and logs go to build-fuzz/fuzz/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_subject_file fuzz_encoder_file fuzz_tables fuzz_hdf5_input)

cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DERP2NPX_FUZZ=ON -DERP2NPX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
for target in "${targets[@]}"; do
  corpus="$root/fuzz/corpus-$target"
  artifacts="$build/fuzz/artifacts-$target"
  log="$build/fuzz/$target.log"
  mkdir -p "$corpus" "$artifacts"
  cp -n "$root/fuzz/seeds/$target"/* "$corpus"/
  echo "== $target: $seconds s, corpus $corpus, log $log"
  if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
       -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1; then
    grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added))' "$log" || true
  else
    status=1
    echo "$target FAILED; the input is in $artifacts, the report in $log:"
    grep -E 'invariant broken|ERROR:|SUMMARY:|Test unit written' "$log" || tail -20 "$log"
  fi
done
exit $status
