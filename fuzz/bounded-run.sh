#!/usr/bin/env bash
# Runs one fuzz target for a fixed time with a fixed seed, starting from its
# committed seeds and an empty scratch corpus.
# Usage: bounded-run.sh FUZZER SCRATCH_CORPUS SEED_DIR SECONDS
set -euo pipefail
fuzzer=$1 scratch=$2 seeds=$3 seconds=$4
rm -rf "$scratch"
mkdir -p "$scratch" "$scratch.artifacts"
exec "$fuzzer" -max_total_time="$seconds" -seed=1 -timeout=60 -print_final_stats=1 \
  -artifact_prefix="$scratch.artifacts/" "$scratch" "$seeds"
