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

scratch=$(mktemp -d)
# The server picks a free display itself: a guessed one may belong to another run.
# Without -noreset it resets when its last client leaves, and a program that
# connects at that moment is refused.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
[ -s "$scratch/display" ] || { echo "e2e: Xvfb did not start"; cat "$scratch/xvfb.log"; exit 1; }
export DISPLAY=:$(head -n1 "$scratch/display")
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# An operator's desktop has a window manager: it gives the focus back to the
# main window when a message box closes.
openbox --sm-disable >"$scratch/openbox.log" 2>&1 &
wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
for _ in $(seq 100); do wm_up && break; sleep 0.1; done
wm_up || { echo "e2e: the window manager did not start"; cat "$scratch/openbox.log"; exit 1; }
export ZDB_E2E_ARTIFACTS=${ZDB_E2E_ARTIFACTS:-$PWD/e2e-artifacts}
mkdir -p "$ZDB_E2E_ARTIFACTS"
cd "$here"
# faketime preloads its library ahead of a sanitizer's runtime; that is fine.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export XDG_RUNTIME_DIR=$(mktemp -d)
log=$XDG_RUNTIME_DIR/e2e.log
# A session bus of our own with the accessibility bus up before the first
# program asks for it. Its daemons outlive the session's command, so they run
# in a process group of their own that is swept afterwards, with their output
# in a file rather than in whatever pipe reads this script.
setsid dbus-run-session -- bash -c '/usr/libexec/at-spi-bus-launcher --launch-immediately &
  for _ in $(seq 100); do
    /usr/bin/python3 -c "import pyatspi; pyatspi.Registry.getDesktop(0).childCount" 2>/dev/null && break
    sleep 0.1
  done
  [ "$#" -gt 0 ] || set -- test_e2e test_backup test_keyboard test_engine
  /usr/bin/python3 -W ignore::DeprecationWarning -m unittest -v "$@" >"$0" 2>&1' "$log" "$@" \
  >"$XDG_RUNTIME_DIR/bus.log" 2>&1 &
session=$!
# Ended from outside, the run still shows how far it came.
ended() {
  { kill -KILL -- "-$session"; wait "$session"; } 2>/dev/null || true
  cat "$log"
  echo "e2e: ended by SIG$1"
  exit 1
}
for sig in TERM INT HUP; do trap "ended $sig" "$sig"; done
rc=0
wait "$session" || rc=$?
kill -KILL -- "-$session" 2>/dev/null || true
cat "$log"
[ "$rc" -eq 0 ] || { wm_up || echo "e2e: the window manager had gone"; cat "$scratch/openbox.log" "$scratch/xvfb.log"; }
exit "$rc"
