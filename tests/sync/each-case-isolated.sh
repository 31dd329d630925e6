#!/usr/bin/env bash
# Runs every case of a GoogleTest program as a process of its own, each on a private session
# bus beside a keyring of its own (scripts/test-session.sh, scripts/with-keyring.sh), the way
# ctest runs an ISOLATED program's cases one by one, but as one command, so that a wrapper
# around it (tests/server/with-postgresql.sh) serves all of them. Every case runs, whatever
# the ones before it did; the exit status is 1 when any failed.
#
#   each-case-isolated.sh PROGRAM [--gtest_filter=PATTERN]
set -uo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 PROGRAM [--gtest_filter=PATTERN]" >&2
  exit 2
fi
program=$1
shift
root=$(cd "$(dirname "$0")/../.." && pwd)

cases=()
suite=""
while IFS= read -r line; do
  # Suites start in column one and end in "."; their cases follow, indented.
  if [[ $line =~ ^([^[:space:]]+\.) ]]; then
    suite=${BASH_REMATCH[1]}
  elif [[ $line =~ ^[[:space:]]+([^[:space:]]+) ]]; then
    cases+=("$suite${BASH_REMATCH[1]}")
  fi
done < <("$program" --gtest_list_tests "$@")
if [[ ${#cases[@]} -eq 0 ]]; then
  echo "$0: $program lists no cases" >&2
  exit 1
fi

failed=()
for name in "${cases[@]}"; do
  echo "=== $name"
  if ! "$root/scripts/test-session.sh" "$root/scripts/with-keyring.sh" \
    "$program" --gtest_filter="$name"; then
    failed+=("$name")
  fi
done
echo "=== ${#cases[@]} cases, ${#failed[@]} failed"
for name in "${failed[@]}"; do echo "FAILED: $name"; done
[[ ${#failed[@]} -eq 0 ]]
