#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the main job: the
# porvane tool's overview. Extra arguments go to the tool.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${PORVANE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPORVANE_TESTS=OFF \
  -DPORVANE_TEST_HOOKS=OFF
cmake --build "$build" --target porvane
exec "$build/cli/porvane" "$@"
