#!/usr/bin/env bash
# Installs what is needed, builds, and starts the window. Without a display it
# runs under Xvfb, saves a screenshot and says where.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
if [ -n "${DISPLAY:-}" ]; then
  exec build/zorvatdbbackup
fi
shot=${SCREENSHOT:-$PWD/docs/screenshot.png}
mkdir -p "$(dirname "$shot")"
# -noreset: the server must not reset when xdpyinfo, its first client, leaves
# while the program connects. It picks a free display itself (XVFB_DISPLAY
# names one): a fixed one may belong to another user's server, whose
# screen would be saved instead.
numberfile=$(mktemp)
if [ -n "${XVFB_DISPLAY:-}" ]; then
  echo "$XVFB_DISPLAY" >"$numberfile"
  Xvfb ":$XVFB_DISPLAY" -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
else
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$numberfile" >/dev/null 2>&1 &
fi
xvfb=$!
app=
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  wait 2>/dev/null || true
  rm -f "$numberfile"
}
trap cleanup EXIT
for _ in $(seq 50); do [ -s "$numberfile" ] && break; sleep 0.1; done
display=:$(head -n 1 "$numberfile")
for _ in $(seq 50); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb could not start on $display" >&2; exit 1; }
DISPLAY=$display build/zorvatdbbackup &
app=$!
sleep 1
# No window manager gives the window the focus: a click on an empty panel does.
command -v xdotool >/dev/null && DISPLAY=$display xdotool mousemove 100 140 click 1 || true
sleep "${RUN_SECONDS:-3}"
win=$(DISPLAY=$display xdotool search --name 'SCR520' 2>/dev/null | head -n 1 || true)
DISPLAY=$display import -window "${win:-root}" "$shot"
echo "No display: the window ran under Xvfb; screenshot saved to $shot"
