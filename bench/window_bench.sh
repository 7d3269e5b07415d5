#!/usr/bin/env bash
# The downtime of backups made through the real window, against cp: a private
# X server, window manager, session and accessibility bus as the end-to-end
# tests have them, then window_bench.py. As root. Not a test.
#
#   bench/window_bench.sh PROGRAM [--rounds N] [--cache both|warm|cold] [--data-mib N] [--log-mib N]
#                         [--strace FILE] [--perf FILE] [FOLDER]   (FOLDER: /var/tmp)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export ZDB_PROGRAM=${1:?path to the program}
shift
for tool in Xvfb openbox xprop xdotool xdpyinfo dbus-run-session; do
  command -v "$tool" >/dev/null || { echo "window bench: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
scratch=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
xvfb=$!
openbox=
trap 'kill $openbox $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$scratch"' EXIT
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
[ -s "$scratch/display" ] || { echo "window bench: Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n1 "$scratch/display")
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
openbox --sm-disable >"$scratch/openbox.log" 2>&1 &
openbox=$!
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done
export ZDB_BENCH_PIDS="Xvfb:$xvfb openbox:$openbox"
export XDG_RUNTIME_DIR=$scratch
log=$scratch/bench.log
# The bus daemons outlive the session's command: a process group of their
# own, swept afterwards, with the bench's output in a file rather than in
# whatever pipe reads this script. Progress: tail -f on the file named here.
echo "window bench: output in $log"
setsid dbus-run-session -- bash -c '/usr/libexec/at-spi-bus-launcher --launch-immediately &
  for _ in $(seq 100); do
    /usr/bin/python3 -c "import pyatspi; pyatspi.Registry.getDesktop(0).childCount" 2>/dev/null && break
    sleep 0.1
  done
  /usr/bin/python3 -W ignore::DeprecationWarning "$1/window_bench.py" "${@:2}" >"$0" 2>&1' "$log" "$here" "$@" \
  >"$scratch/bus.log" 2>&1 &
session=$!
rc=0
wait "$session" || rc=$?
kill -KILL -- "-$session" 2>/dev/null || true
cat "$log"
exit "$rc"
