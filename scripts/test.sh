#!/usr/bin/env bash
# Installs what is missing, checks the layout of the sources, builds, and runs
# the whole test suite through CTest: first the Release build, then the same
# suite with AddressSanitizer and UndefinedBehaviorSanitizer plus a short run
# of every fuzz target, then the threading suites under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
# The sources stay as .clang-format lays them out.
(cd "$root" && git ls-files -- '*.cpp' '*.h' | xargs clang-format-14 --dry-run --Werror)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DERP2NPX_WERROR=ON >/dev/null
cmake --build "$root/build" -j"$(nproc)"
ctest --test-dir "$root/build" --output-on-failure -j"$(nproc)"
"$root/scripts/test-sanitized.sh"
# The work queue, the epoch stream and the background writer with their
# threads: a data race or a lock-order inversion fails the test that shows it.
tsan="$root/build-tsan"
cmake -S "$root" -B "$tsan" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DERP2NPX_THREAD_SANITIZE=ON -DERP2NPX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$tsan" -j"$(nproc)" --target erp2npx_thread_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$tsan" --output-on-failure -j"$(nproc)" -R '^Threads\.'
