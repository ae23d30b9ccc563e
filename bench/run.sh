#!/usr/bin/env bash
# Converter benchmark over the four storage layouts: wall time, CPU and peak
# memory of a conversion, next to the floor of the same machine for the same
# layout. The I/O floor is reading the input once (cat) plus writing as many
# bytes as the output holds (dd); for deflated input the decompression floor is
# added: bench/inflate_floor inflating every chunk with libdeflate on every
# core. Each figure is the best of several runs, the peak memory the largest.
#
#   bench/run.sh [--runs N] [--data DIR] [--work DIR] [--reference BIN] [LAYOUT...]
#
# Layouts: contiguous and scattered at 250,000 stimuli, deflate and
# deflate-scattered (shuffle + deflate 4, chunks of 64 epochs) at 60,000;
# scattered means stored out of session order. Inputs are generated once into
# DIR (default /tmp/erp2npx-bench, outside the repository) and reused; the
# conversions write under the work folder (default a tmpfs under /dev/shm when
# there is one). --reference runs another converter build on the same inputs
# and compares the output trees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
data=/tmp/erp2npx-bench
work=/tmp/erp2npx-bench/out
[ -d /dev/shm ] && [ -w /dev/shm ] && work=/dev/shm/erp2npx-bench-out
reference=""
layouts=()
usage="usage: $0 [--runs N] [--data DIR] [--work DIR] [--reference BIN] [contiguous|scattered|deflate|deflate-scattered...]"
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift ;;
    --data) data=$2; shift ;;
    --work) work=$2; shift ;;
    --reference) reference=$(realpath "$2"); shift ;;
    contiguous|scattered|deflate|deflate-scattered) layouts+=("$1") ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
[ ${#layouts[@]} -eq 0 ] && layouts=(contiguous scattered deflate deflate-scattered)

build=$root/build
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target erp2npx make_sample_dataset inflate_floor >/dev/null

seconds() {  # command... -> prints its wall seconds; its own output is dropped
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

minimum() { printf '%s\n' "$@" | sort -g | head -1; }
maximum() { printf '%s\n' "$@" | sort -g | tail -1; }

tree_checksum() {
  (cd "$1" && find DB_* -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

convert() {  # folder binary -> prints "wall user sys peakKB"
  (cd "$1" && rm -rf DB_* && sync &&
   /usr/bin/time -f "%e %U %S %M" -o time.txt "$2" >stdout.txt && cat time.txt) || {
    echo "conversion failed in $1" >&2; exit 1; }
}

best_run() {  # folder binary -> prints "wall user sys peakKB" (best wall, largest peak)
  local walls=() peaks=() users=() syss=() wall user sys peak i
  for ((i = 0; i < runs; i++)); do
    read -r wall user sys peak < <(convert "$1" "$2")
    walls+=("$wall"); users+=("$user"); syss+=("$sys"); peaks+=("$peak")
  done
  wall=$(minimum "${walls[@]}")
  for ((i = 0; i < runs; i++)); do
    if [ "${walls[i]}" = "$wall" ]; then user=${users[i]}; sys=${syss[i]}; fi
  done
  echo "$wall $user $sys $(maximum "${peaks[@]}")"
}

printf '%s, %d cores, %s runs each; output in %s\n\n' "$(date -u +%Y-%m-%d)" "$(nproc)" "$runs" "$work"
printf '%-18s %8s %8s %8s %8s %8s %6s %9s %9s\n' layout stimuli wall user sys floor ratio 'peak MB' 'budget MB'
summary=()
for layout in "${layouts[@]}"; do
  case $layout in
    contiguous) stimuli=250000; flags=() ;;
    scattered) stimuli=250000; flags=(--scattered) ;;
    deflate) stimuli=60000; flags=(--compress) ;;
    deflate-scattered) stimuli=60000; flags=(--compress --scattered) ;;
  esac
  input_dir=$data/$layout-$stimuli
  input="$input_dir/QUOLMET ERP-BCI.hdf5"
  if [ ! -f "$input" ]; then
    mkdir -p "$input_dir"
    "$build/tools/make_sample_dataset" --out "$input_dir" --stimuli "$stimuli" "${flags[@]}" >/dev/null
  fi
  dir=$work/$layout
  rm -rf "$dir"
  mkdir -p "$dir"
  ln -s "$input" "$dir/QUOLMET ERP-BCI.hdf5"
  ln -s "$input_dir/DataSets.txt" "$dir/DataSets.txt"
  cp "$build/erp2npx" "$root"/data/*.enc "$dir/"

  read -r wall user sys peak < <(best_run "$dir" "$dir/erp2npx")
  checksum=$(tree_checksum "$dir")
  out_bytes=$(cd "$dir" && find DB_* -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
  count=$(grep '^NumStimuli: ' "$dir/stdout.txt" | cut -d' ' -f2)

  # The floor, measured right after the runs, with the page cache as they had it.
  blocks=$(( (out_bytes + 4194303) / 4194304 ))
  reads=() writes=() inflates=()
  for ((i = 0; i < runs; i++)); do
    reads+=("$(seconds cat "$input")")
    writes+=("$(seconds dd if=/dev/zero of="$dir/floor.tmp" bs=4M count=$blocks status=none)")
    rm -f "$dir/floor.tmp"
    if [[ $layout == deflate* ]]; then
      inflates+=("$("$build/bench/inflate_floor" "$input" | cut -d' ' -f1)")
    fi
  done
  floor=$(echo "$(minimum "${reads[@]}") + $(minimum "${writes[@]}")" | bc -l)
  [ ${#inflates[@]} -gt 0 ] && floor=$(echo "$floor + $(minimum "${inflates[@]}")" | bc -l)

  budget=$(echo "(64 * 1048576 + 64 * $count) / 1048576" | bc -l)
  printf '%-18s %8d %7.2fs %7.2fs %7.2fs %7.2fs %6.2f %9.1f %9.1f\n' "$layout" "$count" "$wall" \
    "$user" "$sys" "$floor" "$(echo "$wall / $floor" | bc -l)" "$(echo "$peak / 1024" | bc -l)" \
    "$budget"
  summary+=("$layout: read $(minimum "${reads[@]}") s, write $(minimum "${writes[@]}") s${inflates:+, inflate $(minimum "${inflates[@]}") s}, output $out_bytes bytes, tree $checksum")

  if [ -n "$reference" ]; then
    cp "$reference" "$dir/erp2npx-reference"
    read -r rwall _ _ rpeak < <(best_run "$dir" "$dir/erp2npx-reference")
    if [ "$(tree_checksum "$dir")" = "$checksum" ]; then same="same output"; else same="OUTPUT DIFFERS"; fi
    printf '%-18s %8s %7.2fs %35s %9.1f   %s\n' "  reference" "" "$rwall" "" \
      "$(echo "$rpeak / 1024" | bc -l)" "$same"
    [ "$same" = "same output" ] || exit 1
  fi
  rm -rf "$dir"/DB_*
done
printf '\n'
printf '%s\n' "${summary[@]}"
