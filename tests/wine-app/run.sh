#!/usr/bin/env bash
# The Windows program as an operator installs and meets it, under Wine and
# Xvfb: the installer run silently, the window from where it was installed,
# its console twin from cmd; against the engine tests' own service. Exit 77
# (skipped) where Wine is not at hand.
# Usage: run.sh zorvatdbbackup-VERSION-setup.exe zdbtestservice.exe [test names]
set -uo pipefail
export ZDB_SETUP=$(readlink -f "$1") ZDB_SERVICE=$(readlink -f "$2") && shift 2
for t in wine Xvfb xdotool import; do command -v "$t" >/dev/null || { echo "SKIPPED: no $t"; exit 77; }; done
wine_tests=$(cd "$(dirname "$0")/../wine" && pwd)
work=$(mktemp -d /tmp/zdb-wine-app.XXXXXX) xvfb=
export WINEPREFIX=$work/prefix ZDB_WINE=$wine_tests/wine-run.sh
export ZDB_PROGRAM="$WINEPREFIX/drive_c/Program Files/ZorvatDBバックアップ/zorvatdbbackup.exe"
trap '"$wine_tests/prefix.sh" stop "$WINEPREFIX"; [ -n "$xvfb" ] && kill "$xvfb"; wait; rm -rf "$work"' EXIT
# A display of its own: a guessed number may belong to another run.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" >"$work/log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")
"$wine_tests/prefix.sh" start "$WINEPREFIX" && export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Windows always runs the Task Scheduler; Wine starts it on demand only. The
# first start after wineboot may find the service database still locked.
for _ in $(seq 20); do wine net start Schedule >>"$work/log" 2>&1 && break; sleep 1; done
export ZDB_E2E_ARTIFACTS=${ZDB_E2E_ARTIFACTS:-$PWD/e2e-artifacts}
mkdir -p "$ZDB_E2E_ARTIFACTS"
cd "$(dirname "$0")" && /usr/bin/python3 -m unittest -v "${@:-test_windows_app}"
