#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest:
# first the Release build, then the same suite with AddressSanitizer and
# UndefinedBehaviorSanitizer plus a short run of every fuzz target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)"
ctest --test-dir "$root/build" --output-on-failure -j"$(nproc)"
"$root/scripts/test-sanitized.sh"
