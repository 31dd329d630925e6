#!/usr/bin/env bash
# Installs what is missing, builds the test configuration (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), the Release programs and the fuzz targets (scripts/fuzz.sh, their
# own clang build in build-fuzz), then runs the whole test suite inside a private D-Bus session
# without the desktop portal (scripts/test-session.sh) and with an unlocked keyring of its own,
# and each fuzz target briefly beside the tests that run alone. Extra arguments go to ctest.
# Each step says when it began.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# The library's layers and the C libraries its public headers may name, before anything builds.
tools/check-layers

# SECONDS counts from the start of the script.
step() { echo "== $1 ($SECONDS s in)"; }

# clang builds the sanitized tests in about two fifths of the processor time GCC takes; the
# Release build below stays with the system's compiler, so both keep compiling the code.
build=${PORVANE_TEST_BUILD_DIR:-build-test}
step "test build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPORVANE_SANITIZE=ON -DPORVANE_TESTS=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
cmake --build "$build"

# The library and the programs as users get them carry none of the test build's hooks.
release=${PORVANE_RELEASE_BUILD_DIR:-build-release}
step "Release build ($release)"
cmake -S . -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPORVANE_TESTS=OFF \
  -DPORVANE_BENCH=OFF -DPORVANE_TEST_HOOKS=OFF
cmake --build "$release" --target porvane porvane-express porvane-server porvane-app porvane-add
tools/check-release-hooks "$release" "$build"

# JavaScriptCore installs its own signal handlers and manages memory in ways LeakSanitizer
# cannot follow; leak detection stays off until the suite is leak-clean.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:handle_segv=0:allow_user_segv_handler=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# The fuzz targets are built with the other builds; their short runs (PORVANE_FUZZ_SECONDS each,
# 0 to skip) come during the tests that must run alone, one target at a time and at the lowest
# priority, on the processor those tests leave idle. A failure of either fails the script.
fuzz_seconds=${PORVANE_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" != 0 ]; then
  step "fuzz build"
  scripts/fuzz.sh all 0
fi

session() { scripts/test-session.sh scripts/with-keyring.sh "$@"; }
ctest_args=(--test-dir "$build" --output-on-failure --timeout 600)

step "tests that run side by side"
side_status=0
session ctest "${ctest_args[@]}" -j2 -LE serial "$@" || side_status=$?

fuzz_status=0
fuzz_pid=
fuzz_log=$(mktemp "${TMPDIR:-/tmp}/porvane-fuzz-log-XXXXXX")
# A script that ends early (a signal, an error) starts no further fuzz target.
trap '[ -n "$fuzz_pid" ] && kill "$fuzz_pid" 2>/dev/null; rm -f "$fuzz_log"' EXIT
if [ "$fuzz_seconds" != 0 ]; then
  step "tests that run alone, and the fuzz targets ${fuzz_seconds} s each beside them"
  PORVANE_FUZZ_JOBS=1 nice -n 9 scripts/fuzz.sh all "$fuzz_seconds" >"$fuzz_log" 2>&1 &
  fuzz_pid=$!
else
  step "tests that run alone"
fi
alone_status=0
session ctest "${ctest_args[@]}" -L serial "$@" || alone_status=$?
if [ -n "$fuzz_pid" ]; then
  wait "$fuzz_pid" || fuzz_status=$?
  fuzz_pid=
  step "fuzz results"
  cat "$fuzz_log"
fi
step "done: tests side by side exit $side_status, tests alone exit $alone_status, fuzz exit $fuzz_status"

[ $side_status -ne 0 ] && exit $side_status
[ $alone_status -ne 0 ] && exit $alone_status
exit $fuzz_status
