#!/usr/bin/env bash
# Runs a command beside a private, unlocked gnome-keyring, so that the password store's tests
# talk to a real Secret Service without touching the user's keyrings.
#
#   dbus-run-session -- scripts/with-keyring.sh COMMAND [ARGUMENTS…]
#   scripts/test-session.sh scripts/with-keyring.sh COMMAND [ARGUMENTS…]   (as the test run does)
#
# The daemon's keyring files live in a temporary folder that is removed afterwards; the daemon
# alone sees that folder as its HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR. The login keyring is
# created and unlocked from standard input with an empty line as its password (the daemon
# ignores a password of no bytes at all, so the password is the single newline character);
# tests that lock the collection unlock it again with that password. The command sees
# GNOME_KEYRING_CONTROL and PORVANE_TEST_KEYRING=1, by which the keyring tests know that the
# keyring is a disposable one. The command's exit status is the script's.
set -euo pipefail

if [[ $# -eq 0 ]]; then
  echo "usage: dbus-run-session -- $0 COMMAND [ARGUMENTS…]" >&2
  exit 2
fi
if [[ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]]; then
  echo "$0: no D-Bus session bus; run it as: dbus-run-session -- $0 $*" >&2
  exit 2
fi
for tool in gnome-keyring-daemon gdbus; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool is not installed (packages gnome-keyring, libglib2.0-bin)" >&2
    exit 2
  fi
done

bus_call() {
  gdbus call --session --timeout 10 "$@"
}

# Asks the bus without starting anything: a plain call to the secrets name could activate the
# system's own keyring daemon with the real home.
secrets_has_owner() {
  bus_call --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.freedesktop.secrets 2>/dev/null |
    grep -q true
}

# A keyring already serving this bus is most likely the user's own: refuse rather than put
# test items into it.
if secrets_has_owner; then
  echo "$0: a Secret Service already runs on this bus; start the script inside its own" \
    "bus: dbus-run-session -- $0 $*" >&2
  exit 2
fi

keyring_home=$(mktemp -d "${TMPDIR:-/tmp}/porvane-keyring-XXXXXX")
daemon_pid=""

cleanup() {
  if [[ -n "$daemon_pid" ]] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
  fi
  rm -rf "$keyring_home"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$keyring_home/data" "$keyring_home/config" "$keyring_home/run"
chmod 700 "$keyring_home" "$keyring_home/run"

env HOME="$keyring_home" \
  XDG_DATA_HOME="$keyring_home/data" \
  XDG_CONFIG_HOME="$keyring_home/config" \
  XDG_RUNTIME_DIR="$keyring_home/run" \
  gnome-keyring-daemon --foreground --unlock --components=secrets \
  --control-directory="$keyring_home/run/keyring" \
  >"$keyring_home/daemon.env" 2>"$keyring_home/daemon.log" <<<"" &
daemon_pid=$!

fail() {
  echo "$0: $1" >&2
  if [[ -s "$keyring_home/daemon.log" ]]; then
    echo "--- gnome-keyring-daemon said:" >&2
    cat "$keyring_home/daemon.log" >&2
  fi
  exit 1
}

# The daemon prints its environment (GNOME_KEYRING_CONTROL=…) once it is ready, then owns the
# secrets name and creates the login collection; wait for all three.
default_collection=""
for _ in $(seq 1 100); do
  kill -0 "$daemon_pid" 2>/dev/null || fail "gnome-keyring-daemon exited early"
  if [[ -s "$keyring_home/daemon.env" ]] && secrets_has_owner; then
    default_collection=$(bus_call --dest org.freedesktop.secrets \
      --object-path /org/freedesktop/secrets \
      --method org.freedesktop.Secret.Service.ReadAlias default 2>/dev/null |
      sed -n "s/^(objectpath '\(.*\)',)$/\1/p")
    [[ -n "$default_collection" && "$default_collection" != "/" ]] && break
  fi
  sleep 0.1
done
[[ -n "$default_collection" && "$default_collection" != "/" ]] ||
  fail "gnome-keyring-daemon made no default collection"

locked=$(bus_call --dest org.freedesktop.secrets --object-path "$default_collection" \
  --method org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Collection Locked)
[[ "$locked" == "(<false>,)" ]] || fail "the default collection $default_collection is locked"

while IFS='=' read -r name value; do
  [[ -n "$name" ]] && export "$name=$value"
done <"$keyring_home/daemon.env"

export PORVANE_TEST_KEYRING=1

status=0
"$@" || status=$?
exit "$status"
