#!/usr/bin/env bash
# Installs what is missing, checks the layout of the sources, builds, and runs
# the whole test suite through CTest: first the Release build, then the same
# suite with AddressSanitizer and UndefinedBehaviorSanitizer plus a short run
# of every fuzz target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
# The sources stay as .clang-format lays them out.
(cd "$root" && git ls-files -- '*.cpp' '*.h' | xargs clang-format-14 --dry-run --Werror)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)"
ctest --test-dir "$root/build" --output-on-failure -j"$(nproc)"
"$root/scripts/test-sanitized.sh"
