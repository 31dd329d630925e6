#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running Porvane needs.
# Idempotent: apt-get runs only when a package is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-format gettext python3 lld
  # libraries
  libglib2.0-dev libjavascriptcoregtk-6.0-dev libsoup-3.0-dev glib-networking
  libsecret-1-dev libssl-dev libicu-dev libsqlite3-dev libplist-dev nlohmann-json3-dev
  libxml2-dev libical-dev
  # the companion's panel menu
  libdbusmenu-glib-dev
  # the main application and its tests under a virtual display
  libgtkmm-4.0-dev libadwaita-1-dev xvfb xauth
  # the route map: map widget and place search
  libshumate-dev libgeocode-glib-dev
  # the sign-in window's web view
  libwebkitgtk-6.0-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev dbus dbus-x11 gnome-keyring libsecret-tools
  # checks of the installed desktop entries and file types
  desktop-file-utils shared-mime-info
  # porvane-server: password hashing, the PostgreSQL back end and its test cluster
  libsodium-dev libpqxx-dev postgresql
  # the server tests' throwaway TLS certificates
  openssl
  # the sanitized test build and fuzzing (scripts/fuzz.sh)
  clang-14 libfuzzer-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
