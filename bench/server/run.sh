#!/usr/bin/env bash
# Runs the server load benchmark at 100, 1,000 and 5,000 devices on SQLite, then on a throwaway
# PostgreSQL cluster, and prints each run's figures.
#
#   bench/server/run.sh [BUILD_DIR] [SIZES…]      e.g. bench/server/run.sh build-bench 100 1000
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-bench}
shift || true
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(100 1000 5000)
program="$build/bench/server/bench_server"
[ -x "$program" ] || { echo "build $program first (cmake -DPORVANE_BENCH=ON)" >&2; exit 2; }

status=0
for n in "${sizes[@]}"; do
  nice -n 5 "$program" --clients "$n" --backend sqlite || status=1
  echo
done
for n in "${sizes[@]}"; do
  tests/server/with-postgresql.sh nice -n 5 "$program" --clients "$n" --backend postgresql ||
    status=1
  echo
done
exit $status
