#!/usr/bin/env bash
# Builds everything with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the whole test suite there: the unit and
# end-to-end tests, plus a short run of every fuzz target with a fixed seed and
# a fixed number of inputs (fuzz/CMakeLists.txt), the same on every machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-sanitize"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DERP2NPX_SANITIZE=ON -DERP2NPX_FUZZ=ON -DERP2NPX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
# The first sanitizer report ends the process that makes it, so a test fails
# on it instead of reporting and going on.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The long runs under a low descriptor limit and with interrupts exercise
# files and signals rather than memory; the Release pass runs them.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" \
  -E '^(InputEndToEnd\.TwentyThousandSessionsUnderALowOpenFileLimit|Interruption\.KilledOrInterruptedRunsLeaveOnlyCompleteFiles)$'
