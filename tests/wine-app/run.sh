#!/usr/bin/env bash
# The Windows program as an operator installs and meets it, under Wine and
# Xvfb: the installer run silently, the window from where it was installed,
# its console twin from cmd. Exit 77 (skipped) where Wine is not at hand.
# Usage: run.sh path/to/zorvatdbbackup-VERSION-setup.exe [test names]
set -uo pipefail
export ZDB_SETUP=$(readlink -f "${1:?usage: run.sh setup.exe [tests]}") && shift
for tool in wine wineboot Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing"; exit 77; }
done
work=$(mktemp -d /tmp/zdb-wine-app.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb=
trap 'wineserver -k 2>/dev/null; [ -n "$xvfb" ] && kill "$xvfb"; wait; rm -rf "$work"' EXIT
# A display of its own: a guessed number may belong to another run.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" >"$work/log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")
# One wine server for the whole run: the service manager's state is then the
# same for every process. Wine starts the Task Scheduler and the spooler (the
# service the backups stop and start) on demand only; Windows always runs them.
wineboot -i >>"$work/log" 2>&1 && wineserver -p
for service in Schedule Spooler; do
  # The first start after wineboot may find the service database still locked.
  for _ in $(seq 20); do wine net start "$service" >>"$work/log" 2>&1 && continue 2; sleep 1; done
  cat "$work/log" && exit 1
done
export ZDB_E2E_ARTIFACTS=${ZDB_E2E_ARTIFACTS:-$PWD/e2e-artifacts}
mkdir -p "$ZDB_E2E_ARTIFACTS"
cd "$(dirname "$0")" && /usr/bin/python3 -m unittest -v "${@:-test_windows_app}"
