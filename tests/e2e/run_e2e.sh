#!/usr/bin/env bash
# Runs the end-to-end tests: a private X server and session bus, the real program.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export ZDB_PROGRAM=${1:?path to the program}
shift || true
for tool in Xvfb openbox xprop xdotool xclip dbus-run-session faketime import; do
  command -v "$tool" >/dev/null || { echo "e2e: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "e2e: python3-pyatspi is missing"; exit 1; }
/usr/bin/python3 -c 'import PIL' 2>/dev/null || { echo "e2e: python3-pil is missing"; exit 1; }

display=:$(( 100 + RANDOM % 400 ))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null || true' EXIT
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# An operator's desktop has a window manager: it gives the focus back to the
# main window when a message box closes.
openbox --sm-disable >/dev/null 2>&1 &
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done
export ZDB_E2E_ARTIFACTS=${ZDB_E2E_ARTIFACTS:-$PWD/e2e-artifacts}
mkdir -p "$ZDB_E2E_ARTIFACTS"
cd "$here"
export XDG_RUNTIME_DIR=$(mktemp -d)
log=$XDG_RUNTIME_DIR/e2e.log
# A session bus of our own with the accessibility bus up before the first
# program asks for it. Its daemons outlive the session's command, so they run
# in a process group of their own that is swept afterwards, with their output
# in a file rather than in whatever pipe reads this script.
setsid dbus-run-session -- bash -c '/usr/libexec/at-spi-bus-launcher --launch-immediately &
  sleep 1
  [ "$#" -gt 0 ] || set -- test_e2e test_backup test_keyboard
  /usr/bin/python3 -W ignore::DeprecationWarning -m unittest -v "$@" >"$0" 2>&1' "$log" "$@" \
  >"$XDG_RUNTIME_DIR/bus.log" 2>&1 &
session=$!
rc=0
wait "$session" || rc=$?
kill -KILL -- "-$session" 2>/dev/null || true
cat "$log"
exit "$rc"
