#!/usr/bin/env bash
# The Windows program as an operator installs and meets it, under Wine and
# Xvfb: the installer run silently, the window from where it was installed,
# its console twin from cmd. Exit 77 (skipped) where Wine is not at hand.
# Usage: run.sh path/to/zorvatdbbackup-VERSION-setup.exe [test names]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export ZDB_SETUP=$(readlink -f "${1:?usage: run.sh setup.exe [tests]}")
shift
skip() { echo "SKIPPED: $*"; exit 77; }
for tool in wine wineserver wineboot Xvfb xdotool import; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/build-windows.sh installs it)"
done
/usr/bin/python3 -c 'import PIL' 2>/dev/null || skip "python3-pil is missing"

work=$(mktemp -d /tmp/zdb-wine-app.XXXXXX)
xvfb=
cleanup() {
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# A display of its own: a guessed number may belong to another run.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")

# One prefix for the run; one wineserver kept for its whole length, so that
# the service manager's state is the same for every process.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
wineserver -p
# What runs on every Windows machine; Wine starts them on demand only. The
# spooler is the service the backups stop and start.
# The first start after wineboot may find the service database still locked.
for service in Schedule Spooler; do
  for try in $(seq 20); do
    wine net start "$service" >>"$work/wineboot.log" 2>&1 && break
    [ "$try" = 20 ] && { cat "$work/wineboot.log"; exit 1; }
    sleep 1
  done
done
export ZDB_E2E_ARTIFACTS=${ZDB_E2E_ARTIFACTS:-$PWD/e2e-artifacts}
mkdir -p "$ZDB_E2E_ARTIFACTS"
cd "$here" && /usr/bin/python3 -m unittest -v "${@:-test_windows_app}"
