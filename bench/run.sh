#!/usr/bin/env bash
# Converter benchmark over the four storage layouts: wall, user and system
# time and peak memory of a conversion (the median of several runs), next to
# the strict floor of the same machine for the same bytes (the best of several
# runs). The floor is what the machine cannot beat with every core at work:
#   read    one dd per core copying its share of the input into user space,
#           in 4 MiB blocks;
#   write   one dd per core writing its share of the output's bytes beside
#           the output;
#   inflate (deflated input only) bench/inflate_floor inflating every chunk
#           with libdeflate on every core.
#
#   bench/run.sh [--runs N] [--data DIR] [--work DIR] [--reference BIN]
#                [--stimuli N] [--cold] [LAYOUT...]
#
# Layouts: contiguous and scattered at 250,000 stimuli, deflate and
# deflate-scattered (shuffle + deflate 4, chunks of 64 epochs) at 60,000;
# scattered means stored out of session order; --stimuli sets the count for
# every layout named. Inputs are generated once into DIR (default
# /tmp/erp2npx-bench, outside the repository) and reused; the conversions
# write under the work folder (default a tmpfs under /dev/shm when there is
# one). --cold (root only) drops the page cache before every run and floor
# step, and puts the output on disk beside the inputs unless --work says
# otherwise: the read floor is then a cold read. --reference runs another
# converter build on the same inputs and compares the output trees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
data=/tmp/erp2npx-bench
work=""
reference=""
stimuli_override=""
cold=false
layouts=()
usage="usage: $0 [--runs N] [--data DIR] [--work DIR] [--reference BIN] [--stimuli N] [--cold] [contiguous|scattered|deflate|deflate-scattered...]"
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift ;;
    --data) data=$2; shift ;;
    --work) work=$2; shift ;;
    --reference) reference=$(realpath "$2"); shift ;;
    --stimuli) stimuli_override=$2; shift ;;
    --cold) cold=true ;;
    contiguous|scattered|deflate|deflate-scattered) layouts+=("$1") ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
[ ${#layouts[@]} -eq 0 ] && layouts=(contiguous scattered deflate deflate-scattered)
if $cold && [ "$(id -u)" -ne 0 ]; then
  echo "$0: --cold drops the page cache, which takes root" >&2
  exit 2
fi
if [ -z "$work" ]; then
  if ! $cold && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    work=/dev/shm/erp2npx-bench-out
  else
    work=$data/out
  fi
fi
cores=$(nproc)

build=$root/build
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$cores" --target erp2npx make_sample_dataset inflate_floor >/dev/null

drop_caches() {
  if $cold; then sync && echo 3 >/proc/sys/vm/drop_caches; fi
}

seconds() {  # command... -> prints its wall seconds; its own output is dropped
  local start end
  drop_caches
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

minimum() { printf '%s\n' "$@" | sort -g | head -1; }
maximum() { printf '%s\n' "$@" | sort -g | tail -1; }
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

# One dd per core, each copying its share of FILE's 4 MiB blocks into its
# own buffer.
parallel_read() {  # file
  local blocks share i
  blocks=$(( ($(stat -L -c %s "$1") + 4194303) / 4194304 ))
  share=$(( (blocks + cores - 1) / cores ))
  for ((i = 0; i < cores; i++)); do
    dd if="$1" of=/dev/null bs=4M skip=$((i * share)) count=$share status=none &
  done
  wait
}

# One dd per core, each writing its share of BYTES to a file of its own in
# DIR.
parallel_write() {  # dir bytes
  local blocks share i
  blocks=$(( ($2 + 4194303) / 4194304 ))
  share=$(( (blocks + cores - 1) / cores ))
  for ((i = 0; i < cores; i++)); do
    dd if=/dev/zero of="$1/floor-$i.tmp" bs=4M count=$share status=none &
  done
  wait
  rm -f "$1"/floor-*.tmp
}

tree_checksum() {
  (cd "$1" && find DB_* -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

convert() {  # folder binary -> prints "wall user sys peakKB"
  (cd "$1" && rm -rf DB_* && drop_caches &&
   /usr/bin/time -f "%e %U %S %M" -o time.txt "$2" >stdout.txt) ||
    { echo "conversion failed in $1" >&2; exit 1; }
  cat "$1/time.txt"
}

median_run() {  # folder binary -> prints "wall user sys peakKB" (median wall, largest peak)
  local walls=() peaks=() users=() syss=() wall user sys peak i
  for ((i = 0; i < runs; i++)); do
    read -r wall user sys peak < <(convert "$1" "$2")
    walls+=("$wall"); users+=("$user"); syss+=("$sys"); peaks+=("$peak")
  done
  wall=$(median "${walls[@]}")
  for ((i = 0; i < runs; i++)); do
    if [ "${walls[i]}" = "$wall" ]; then user=${users[i]}; sys=${syss[i]}; fi
  done
  echo "$wall $user $sys $(maximum "${peaks[@]}")"
}

printf '%s, %d cores, %s runs each, %s cache; output in %s\n\n' "$(date -u +%Y-%m-%d)" \
  "$cores" "$runs" "$($cold && echo cold || echo warm)" "$work"
printf '%-18s %9s %8s %8s %8s %8s %6s %9s %9s\n' layout stimuli wall user sys floor ratio \
  'peak MB' 'budget MB'
summary=()
for layout in "${layouts[@]}"; do
  case $layout in
    contiguous) stimuli=250000; flags=() ;;
    scattered) stimuli=250000; flags=(--scattered) ;;
    deflate) stimuli=60000; flags=(--compress) ;;
    deflate-scattered) stimuli=60000; flags=(--compress --scattered) ;;
  esac
  [ -n "$stimuli_override" ] && stimuli=$stimuli_override
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

  read -r wall user sys peak < <(median_run "$dir" "$dir/erp2npx")
  checksum=$(tree_checksum "$dir")
  out_bytes=$(cd "$dir" && find DB_* -type f -printf '%s\n' | awk '{s+=$1} END {printf "%.0f\n", s}')
  count=$(grep '^NumStimuli: ' "$dir/stdout.txt" | cut -d' ' -f2)
  rm -rf "$dir"/DB_*

  # The floor, measured right after the runs, with the page cache as they had it.
  reads=() writes=() inflates=()
  for ((i = 0; i < runs; i++)); do
    reads+=("$(seconds parallel_read "$input")")
    writes+=("$(seconds parallel_write "$dir" "$out_bytes")")
    if [[ $layout == deflate* ]]; then
      drop_caches
      inflates+=("$("$build/bench/inflate_floor" "$input" | cut -d' ' -f1)")
    fi
  done
  floor=$(echo "$(minimum "${reads[@]}") + $(minimum "${writes[@]}")" | bc -l)
  [ ${#inflates[@]} -gt 0 ] && floor=$(echo "$floor + $(minimum "${inflates[@]}")" | bc -l)

  budget=$(echo "(64 * 1048576 + 64 * $count) / 1048576" | bc -l)
  printf '%-18s %9d %7.2fs %7.2fs %7.2fs %7.2fs %6.2f %9.1f %9.1f\n' "$layout" "$count" "$wall" \
    "$user" "$sys" "$floor" "$(echo "$wall / $floor" | bc -l)" "$(echo "$peak / 1024" | bc -l)" \
    "$budget"
  summary+=("$layout: read $(minimum "${reads[@]}") s, write $(minimum "${writes[@]}") s${inflates:+, inflate $(minimum "${inflates[@]}") s}, $(echo "$wall * 1000000000 / $count" | bc) ns a stimulus, output $out_bytes bytes, tree $checksum")

  if [ -n "$reference" ]; then
    cp "$reference" "$dir/erp2npx-reference"
    read -r rwall _ _ rpeak < <(median_run "$dir" "$dir/erp2npx-reference")
    if [ "$(tree_checksum "$dir")" = "$checksum" ]; then same="same output"; else same="OUTPUT DIFFERS"; fi
    printf '%-18s %9s %7.2fs %35s %9.1f   %s\n' "  reference" "" "$rwall" "" \
      "$(echo "$rpeak / 1024" | bc -l)" "$same"
    [ "$same" = "same output" ] || exit 1
  fi
  rm -rf "$dir"/DB_*
done
printf '\n'
printf '%s\n' "${summary[@]}"
