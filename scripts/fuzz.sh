#!/usr/bin/env bash
# Builds the fuzz targets of the input parsers with clang-14 (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz, then runs one target, or each in turn, on a copy of
# its seed corpus (tests/fuzz/corpus/<target>) for the given number of seconds.
#
#   scripts/fuzz.sh TARGET SECONDS      e.g. scripts/fuzz.sh fuzz_value_json 60
#   scripts/fuzz.sh all SECONDS
#
# Exits non-zero when a build fails or any target crashes, hangs or breaks one of its checks;
# the input that did it is kept in build-fuzz/fuzz-artifacts/<target>/. Extra arguments after
# SECONDS go to libFuzzer (e.g. -runs=10000000). Set PORVANE_BUILD_LOCK to a lock file to
# build under flock, PORVANE_FUZZ_BUILD_DIR to build elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 TARGET|all SECONDS [libFuzzer options...]" >&2
  exit 2
fi
which_target=$1
seconds=$2
shift 2

mapfile -t known < <(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
if [ "$which_target" = all ]; then
  targets=("${known[@]}")
else
  found=0
  for t in "${known[@]}"; do [ "$t" = "$which_target" ] && found=1; done
  if [ $found -eq 0 ]; then
    echo "unknown target $which_target; known: all ${known[*]}" >&2
    exit 2
  fi
  targets=("$which_target")
fi

build=${PORVANE_FUZZ_BUILD_DIR:-build-fuzz}
locked() {
  if [ -n "${PORVANE_BUILD_LOCK:-}" ]; then flock "$PORVANE_BUILD_LOCK" "$@"; else "$@"; fi
}
# The targets are test programs: with the test hooks, fuzz_wormhole_message can put a file system
# without fsync under the library, which spares it the disk flushes and changes nothing it reads.
# A build folder configured without them is configured again.
if [ ! -f "$build/build.ninja" ] ||
  ! grep -q '^PORVANE_TEST_HOOKS:BOOL=ON$' "$build/CMakeCache.txt" 2>/dev/null; then
  locked cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DPORVANE_FUZZ=ON -DPORVANE_TESTS=OFF -DPORVANE_TEST_HOOKS=ON
fi
locked nice -n 10 cmake --build "$build" --target "${targets[@]}"

# Leak checks stay on: the parsers hold no process-wide caches that are not reachable.
export ASAN_OPTIONS=${PORVANE_FUZZ_ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
# JavaScriptCore's own process-long allocations are not ours to report (tests/fuzz/lsan.supp).
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/fuzz/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

passed=0
failed=0
failures=()
work=$(mktemp -d "${TMPDIR:-/tmp}/porvane-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
  corpus="$work/$target"
  mkdir -p "$corpus"
  if [ -d "tests/fuzz/corpus/$target" ]; then cp -R "tests/fuzz/corpus/$target/." "$corpus/"; fi
  artifacts="$build/fuzz-artifacts/$target"
  mkdir -p "$artifacts"
  log="$work/$target.log"
  echo "== $target: ${seconds}s"
  status=0
  nice -n 10 "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ $status -eq 0 ]; then
    passed=$((passed + 1))
    echo "   passed: ${runs:-?} executions"
  else
    failed=$((failed + 1))
    failures+=("$target")
    echo "   FAILED (exit $status) after ${runs:-?} executions; last lines of its log:"
    tail -n 40 "$log" | sed 's/^/   | /'
  fi
done

[ $failed -gt 0 ] && echo "failed: ${failures[*]} (inputs in $build/fuzz-artifacts/)"
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
