#!/usr/bin/env bash
# Runs one fuzz target a fixed number of times with a fixed seed, starting
# from its committed seeds and an empty scratch corpus: the same inputs on
# every machine, however fast, so a run that passed once passes again.
# Usage: bounded-run.sh FUZZER SCRATCH_CORPUS SEED_DIR RUNS
set -euo pipefail
fuzzer=$1 scratch=$2 seeds=$3 runs=$4
rm -rf "$scratch"
mkdir -p "$scratch" "$scratch.artifacts"
exec "$fuzzer" -runs="$runs" -seed=1 -timeout=60 -print_final_stats=1 \
  -artifact_prefix="$scratch.artifacts/" "$scratch" "$seeds"
