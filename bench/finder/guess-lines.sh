#!/usr/bin/env bash
# Times `porvane guess --lines` on 100,000 numbers of every carrier's format (one a line, some
# in groups, some with a wrong check) from the Release build in build-bench, in both modes:
# loose (each line searched as a text) and --strict (each line one number). Prints numbers per
# second and checks that every line got its answer.
#   bench/finder/guess-lines.sh [COUNT]
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${PORVANE_BENCH_DIR:-build-bench}
count=${1:-100000}
porvane="$build/cli/porvane"
numbers_tool="$build/bench/finder/bench_finder"
for program in "$porvane" "$numbers_tool"; do
  [[ -x $program ]] || { echo "missing $program: build it in $build" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PORVANE_HOME="$work/home"
mkdir -p "$PORVANE_HOME"

"$numbers_tool" --print-numbers="$count" > "$work/numbers.txt"

for mode in loose strict; do
  flags=(guess --lines)
  [[ $mode == strict ]] && flags+=(--strict)
  start=$(date +%s.%N)
  "$porvane" "${flags[@]}" < "$work/numbers.txt" > "$work/answers-$mode.txt"
  end=$(date +%s.%N)
  lines=$(wc -l < "$work/answers-$mode.txt")
  named=$(grep -c '"best":\["' "$work/answers-$mode.txt" || true)
  if [[ $lines -ne $count ]]; then
    echo "$mode: $lines answers for $count numbers" >&2
    exit 1
  fi
  awk -v mode="$mode" -v n="$count" -v s="$start" -v e="$end" -v named="$named" 'BEGIN {
    printf "guess --lines (%s): %d numbers in %.2f s, %.0f numbers/s, %d with a best guess\n",
      mode, n, e - s, n / (e - s), named }'
done
