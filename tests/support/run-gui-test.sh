#!/usr/bin/env bash
# Runs one GUI test program on a virtual display of its own. The caller (ctest inside
# dbus-run-session) already provides the private session bus; cairo rendering needs no GPU.
set -euo pipefail
export GSK_RENDERER=cairo
export GDK_BACKEND=x11
export NO_AT_BRIDGE=${NO_AT_BRIDGE:-0}
exec xvfb-run -a -s "-screen 0 1440x900x24 -nolisten tcp" "$@"
