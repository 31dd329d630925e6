#!/usr/bin/env bash
# Builds the release configuration and installs Porvane for the current user into ~/.local
# (programs in ~/.local/bin, desktop entries, D-Bus services and icons below ~/.local/share),
# then refreshes the desktop's caches where the tools for it are installed. Another prefix:
# PORVANE_PREFIX=/opt/porvane scripts/install-user.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

prefix=${PORVANE_PREFIX:-$HOME/.local}
build=${PORVANE_BUILD_DIR:-build-user}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DPORVANE_TESTS=OFF -DPORVANE_TEST_HOOKS=OFF
cmake --build "$build"
cmake --install "$build"

share="$prefix/share"
if command -v update-desktop-database >/dev/null; then
  update-desktop-database -q "$share/applications" || true
fi
if command -v gtk-update-icon-cache >/dev/null; then
  gtk-update-icon-cache -q -t -f "$share/icons/hicolor" || true
fi

echo "Installed into $prefix."
case ":$PATH:" in
  *":$prefix/bin:"*) ;;
  *) echo "Add $prefix/bin to your PATH to run porvane from a terminal." ;;
esac
