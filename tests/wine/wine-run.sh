#!/usr/bin/env bash
# Runs a Windows program in the test run's Wine prefix (the emulator of the
# Windows build's tests): the prefix and its wine server come from prefix.sh.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
: "${WINEPREFIX:?is not set: prefix.sh start makes the prefix of a test run}"
export WINEPREFIX
# Windows open on the run's X server.
[ -s "$WINEPREFIX.display" ] && export DISPLAY=:$(cat "$WINEPREFIX.display")
# The Windows Qt and the MinGW runtime, for programs run from the build folder.
path=
for d in ${ZDB_QT_WINDOWS:-/opt/qt6-mingw}/bin /usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib; do
  path+="Z:${d//\//\\};"
done
export WINEPATH=${path%;}
exec wine "$@"
