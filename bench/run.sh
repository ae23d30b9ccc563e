#!/usr/bin/env bash
# Converter benchmark: wall, CPU and peak memory of one conversion of a large
# generated dataset, next to the I/O floor of the same machine (reading the
# input once plus writing as many bytes as the output holds).
#
#   bench/run.sh [--scattered] [--stimuli N] [--data DIR] [--reference BIN]
#
# The dataset is generated once into DIR (default /tmp/erp2npx-bench, outside
# the repository) and reused. --reference runs another converter build on the
# same input and compares the checksums of the two output trees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stimuli=250000
data=/tmp/erp2npx-bench
variant=contiguous
reference=""
while [ $# -gt 0 ]; do
  case "$1" in
    --scattered) variant=scattered ;;
    --stimuli) stimuli=$2; shift ;;
    --data) data=$2; shift ;;
    --reference) reference=$(realpath "$2"); shift ;;
    *) echo "usage: $0 [--scattered] [--stimuli N] [--data DIR] [--reference BIN]" >&2; exit 2 ;;
  esac
  shift
done

build=$root/build
if [ ! -x "$build/erp2npx" ] || [ ! -x "$build/tools/make_sample_dataset" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target erp2npx make_sample_dataset >/dev/null

dir=$data/$variant-$stimuli
input="$dir/QUOLMET ERP-BCI.hdf5"
if [ ! -f "$input" ]; then
  mkdir -p "$dir"
  flags=()
  [ $variant = scattered ] && flags+=(--scattered)
  "$build/tools/make_sample_dataset" --out "$dir" --stimuli "$stimuli" "${flags[@]}"
fi
cp "$build/erp2npx" "$dir/erp2npx"
cp "$root"/data/*.enc "$dir/"

tree_checksum() {
  (cd "$1" && find DB_* -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

convert() {  # binary -> prints "wall user sys peakKB"
  (cd "$dir" && rm -rf DB_* && sync &&
   /usr/bin/time -f "%e %U %S %M" -o "$dir/time.txt" "$1" >"$dir/stdout.txt")
  cat "$dir/time.txt"
}

read -r wall user sys peak < <(convert "$dir/erp2npx")
checksum=$(tree_checksum "$dir")
out_bytes=$(cd "$dir" && find DB_* -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
stimulus_count=$(grep '^NumStimuli: ' "$dir/stdout.txt" | cut -d' ' -f2)
features_bytes=$((stimulus_count * 1024 * 8))

# I/O floor, measured right after the run, with the page cache as the run had it.
sync
start=$(date +%s.%N); cat "$input" >/dev/null; end=$(date +%s.%N)
read_s=$(echo "$end - $start" | bc -l)
blocks=$(( (out_bytes + 4194303) / 4194304 ))
start=$(date +%s.%N); dd if=/dev/zero of="$dir/floor.tmp" bs=4M count=$blocks status=none; end=$(date +%s.%N)
write_s=$(echo "$end - $start" | bc -l)
rm -f "$dir/floor.tmp"
floor=$(echo "$read_s + $write_s" | bc -l)

printf 'variant            %s (%s stimuli, %d cores)\n' "$variant" "$stimulus_count" "$(nproc)"
printf 'features           %.1f MB\n' "$(echo "$features_bytes / 1000000" | bc -l)"
printf 'output             %.1f MB\n' "$(echo "$out_bytes / 1000000" | bc -l)"
printf 'wall               %.2f s (user %.2f s, sys %.2f s)\n' "$wall" "$user" "$sys"
printf 'peak memory        %.1f MB\n' "$(echo "$peak / 1024" | bc -l)"
printf 'I/O floor          %.2f s (read %.2f s + write %.2f s)\n' "$floor" "$read_s" "$write_s"
printf 'wall / floor       %.2f\n' "$(echo "$wall / $floor" | bc -l)"
printf 'peak / features    %.4f\n' "$(echo "$peak * 1024 / $features_bytes" | bc -l)"
printf 'memory budget      %.1f MB (64 MB + 64 B per stimulus)\n' \
  "$(echo "(64 * 1048576 + 64 * $stimulus_count) / 1048576" | bc -l)"
printf 'tree checksum      %s\n' "$checksum"

if [ -n "$reference" ]; then
  cp "$reference" "$dir/erp2npx-reference"
  read -r rwall _ _ rpeak < <(convert "$dir/erp2npx-reference")
  rchecksum=$(tree_checksum "$dir")
  printf 'reference          wall %.2f s, peak %.1f MB, checksum %s\n' "$rwall" \
    "$(echo "$rpeak / 1024" | bc -l)" "$rchecksum"
  if [ "$rchecksum" = "$checksum" ]; then echo "output identical to the reference"; else
    echo "OUTPUT DIFFERS from the reference"; exit 1; fi
fi
