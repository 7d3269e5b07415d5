#!/usr/bin/env bash
# One Wine prefix for a whole test run: `start PREFIX` makes it afresh and keeps
# one wine server running for it (a service created by one Wine process is not
# seen by the next without it), and one X server its windows go to (the prefix's
# desktop binds to the display it first sees); `stop PREFIX` ends both.
set -euo pipefail
verb=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case $verb in
start)
  wineserver -k 2>/dev/null || true
  [ -s "$WINEPREFIX.xvfb" ] && kill "$(cat "$WINEPREFIX.xvfb")" 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$WINEPREFIX.display"
  mkdir -p "$WINEPREFIX"
  (setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WINEPREFIX.display" </dev/null >/dev/null 2>&1 &
    echo $! >"$WINEPREFIX.xvfb")
  for _ in $(seq 100); do [ -s "$WINEPREFIX.display" ] && break; sleep 0.1; done
  export DISPLAY=:$(cat "$WINEPREFIX.display")
  # Made with a server of its own first: a persistent server through the
  # making would keep the first of its two service managers alive beside the
  # second, and each call would reach one or the other.
  wineboot -i >/dev/null 2>&1
  wineserver -w
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot >/dev/null 2>&1
  echo "Wine prefix $WINEPREFIX ready"
  ;;
stop)
  wineserver -k 2>/dev/null || true
  [ -s "$WINEPREFIX.xvfb" ] && kill "$(cat "$WINEPREFIX.xvfb")" 2>/dev/null || true
  ;;
esac
