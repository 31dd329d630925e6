#!/usr/bin/env bash
# Runs a command with a throwaway PostgreSQL cluster: initdb and pg_ctl in a temporary folder,
# listening only on a Unix socket there, as the user nobody when run as root (PostgreSQL refuses
# to run as root). The command finds the connection string in PORVANE_TEST_POSTGRESQL. The
# cluster is stopped and removed whatever the command's outcome; its exit status is the command's.
set -euo pipefail

bin=${PORVANE_POSTGRESQL_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
if [ ! -x "$bin/initdb" ]; then
  echo "with-postgresql: no PostgreSQL server found (install postgresql)" >&2
  exit 1
fi

dir=$(mktemp -d /tmp/porvane-pg-XXXXXX)
as_owner() { "$@"; }
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$dir"
  as_owner() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
fi
cleanup() {
  as_owner "$bin/pg_ctl" -D "$dir/data" -m fast stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT

as_owner "$bin/initdb" -D "$dir/data" -U porvane --auth=trust -E UTF8 --no-locale >"$dir/initdb.log" 2>&1 ||
  { cat "$dir/initdb.log" >&2; exit 1; }
as_owner "$bin/pg_ctl" -D "$dir/data" -o "-k $dir -c listen_addresses='' -c fsync=off" \
  -l "$dir/log" -w start >/dev/null || { cat "$dir/log" >&2; exit 1; }

export PORVANE_TEST_POSTGRESQL="host=$dir dbname=postgres user=porvane"
status=0
"$@" || status=$?
exit $status
