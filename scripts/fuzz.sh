#!/usr/bin/env bash
# Builds the fuzz targets of the input parsers with clang-14 (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz, then runs one target, or all of them (as many at once
# as there are processors), each on a copy of its seed corpus (tests/fuzz/corpus/<target>) for
# the given number of seconds.
#
#   scripts/fuzz.sh TARGET SECONDS      e.g. scripts/fuzz.sh fuzz_value_json 60
#   scripts/fuzz.sh all SECONDS
#   scripts/fuzz.sh all 0               builds them and runs none
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
[ "$seconds" = 0 ] && exit 0

# Leak checks stay on: the parsers hold no process-wide caches that are not reachable.
export ASAN_OPTIONS=${PORVANE_FUZZ_ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
# JavaScriptCore's own process-long allocations are not ours to report (tests/fuzz/lsan.supp).
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/fuzz/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

work=$(mktemp -d "${TMPDIR:-/tmp}/porvane-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT

# One target's run; its report goes to $work/<target>.report, its exit status to .status.
run_target() {
  local target=$1
  shift
  local corpus="$work/$target" artifacts="$build/fuzz-artifacts/$target"
  local log="$work/$target.log" status=0 runs
  mkdir -p "$corpus" "$artifacts"
  if [ -d "tests/fuzz/corpus/$target" ]; then cp -R "tests/fuzz/corpus/$target/." "$corpus/"; fi
  nice -n 10 "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  {
    echo "== $target: ${seconds}s"
    if [ $status -eq 0 ]; then
      echo "   passed: ${runs:-?} executions"
    else
      echo "   FAILED (exit $status) after ${runs:-?} executions; last lines of its log:"
      tail -n 40 "$log" | sed 's/^/   | /'
    fi
  } >"$work/$target.report"
  echo $status >"$work/$target.status"
}

# The targets are single-threaded: as many run at once as there are processors
# (PORVANE_FUZZ_JOBS to choose), and their reports follow in the targets' order.
jobs=${PORVANE_FUZZ_JOBS:-$(nproc)}
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$target" "$@" &
  running=$((running + 1))
done
wait || true

passed=0
failed=0
failures=()
for target in "${targets[@]}"; do
  cat "$work/$target.report" 2>/dev/null || echo "== $target: no report"
  if [ "$(cat "$work/$target.status" 2>/dev/null)" = 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$target")
  fi
done

[ $failed -gt 0 ] && echo "failed: ${failures[*]} (inputs in $build/fuzz-artifacts/)"
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
