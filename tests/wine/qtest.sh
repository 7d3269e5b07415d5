#!/usr/bin/env bash
# Runs a QtTest executable under Wine and prints its results. Without a
# console QtTest writes them to the debugger only, so they are read from
# Wine's trace of OutputDebugString.
set -o pipefail
WINEDEBUG=-all,warn+debugstr "$(dirname "$0")/wine-run.sh" "$@" 2>&1 \
  | sed -n -e '/:warn:debugstr:/{s/^[0-9a-f]*:warn:debugstr:OutputDebugString[AW] "\(.*\)"$/\1/;s/\\n$//;s/\\n/\n/g;s/\\t/\t/g;p;d}' -e p
exit "${PIPESTATUS[0]}"
