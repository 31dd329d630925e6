#!/usr/bin/env bash
# Installs what is missing, builds the test configuration (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite inside a private D-Bus session
# without the desktop portal (scripts/test-session.sh) and with an unlocked keyring of its own.
# Beside the tests, at the lowest priority so that they take the processor's idle time, it
# builds the Release programs and proves they carry no test hook, then runs each fuzz target
# briefly (scripts/fuzz.sh, its own clang build in build-fuzz). Extra arguments go to ctest.
# Each step says how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# The library's layers and the C libraries its public headers may name, before anything builds.
tools/check-layers

# SECONDS counts from the start of the script.
step() { echo "== $1 ($SECONDS s in)"; }

build=${PORVANE_TEST_BUILD_DIR:-build-test}
step "test build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPORVANE_SANITIZE=ON -DPORVANE_TESTS=ON
cmake --build "$build"

# JavaScriptCore installs its own signal handlers and manages memory in ways LeakSanitizer
# cannot follow; leak detection stays off until the suite is leak-clean.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:handle_segv=0:allow_user_segv_handler=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Most tests wait on timers, buses and displays and leave a processor idle; the Release build
# and the fuzz runs use that time instead of their own, at the lowest priority. Their output
# goes to logs printed after the tests, and a failure of either fails the script.
release=${PORVANE_RELEASE_BUILD_DIR:-build-release}
fuzz_seconds=${PORVANE_FUZZ_SECONDS:-20}
logs=$(mktemp -d "${TMPDIR:-/tmp}/porvane-beside-XXXXXX")
release_build() {
  step "Release build ($release)"
  # The library and the programs as users get them carry none of the test build's hooks.
  cmake -S . -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPORVANE_TESTS=OFF \
    -DPORVANE_BENCH=OFF -DPORVANE_TEST_HOOKS=OFF
  cmake --build "$release" --target porvane porvane-express porvane-server porvane-app porvane-add
  tools/check-release-hooks "$release" "$build"
  step "Release build checked"
}
fuzz_runs() {
  # A short run of every fuzz target on its seed corpus (PORVANE_FUZZ_SECONDS each, 0 to skip).
  [ "$fuzz_seconds" = 0 ] && return 0
  step "fuzz targets, ${fuzz_seconds} s each"
  scripts/fuzz.sh all "$fuzz_seconds"
  step "fuzz runs finished"
}
beside() {
  (
    renice -n 19 -p $BASHPID >/dev/null
    "$1"
  ) >"$logs/$1.log" 2>&1 &
}
step "Release build and fuzz runs beside the tests (logs in $logs)"
beside release_build
release_pid=$!
beside fuzz_runs
fuzz_pid=$!
# Background commands ignore the terminal's interrupt; stopping the script stops them too.
kill_tree() {
  local child
  for child in $(pgrep -P "$1"); do kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
trap 'kill_tree $release_pid; kill_tree $fuzz_pid' EXIT
trap 'exit 130' INT TERM

step "tests"
ctest_status=0
scripts/test-session.sh scripts/with-keyring.sh \
  ctest --test-dir "$build" --output-on-failure --timeout 600 -j2 "$@" || ctest_status=$?

step "waiting for the Release build and the fuzz runs"
release_status=0
fuzz_status=0
wait $release_pid || release_status=$?
wait $fuzz_pid || fuzz_status=$?
trap - EXIT
cat "$logs/release_build.log" "$logs/fuzz_runs.log"
rm -rf "$logs"
[ $release_status -ne 0 ] && echo "the Release build or its hook check failed (exit $release_status)"
step "done"

[ $ctest_status -ne 0 ] && exit $ctest_status
[ $release_status -ne 0 ] && exit $release_status
exit $fuzz_status
