#!/usr/bin/env bash
# Runs one GUI test program on a virtual display of its own. The caller (ctest inside
# dbus-run-session) already provides the private session bus; cairo rendering needs no GPU.
set -euo pipefail
export GSK_RENDERER=cairo
export GDK_BACKEND=x11
# libadwaita asks the desktop portal for the colour scheme, which starts the real portal on the
# test session's bus; it would then own the names the fake desktop services of other tests need.
export ADW_DISABLE_PORTAL=1
export NO_AT_BRIDGE=${NO_AT_BRIDGE:-0}
exec xvfb-run -a -s "-screen 0 1440x900x24 -nolisten tcp" "$@"
