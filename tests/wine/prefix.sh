#!/usr/bin/env bash
# One Wine prefix for a whole test run: `start PREFIX` makes it afresh and keeps
# one wine server running for it (a service created by one Wine process is not
# seen by the next without it); `stop PREFIX` ends that server.
set -euo pipefail
verb=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case $verb in
start)
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
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
  ;;
esac
