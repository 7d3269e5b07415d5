#!/usr/bin/env bash
# Installs what is needed, builds, runs every test and the format and fault
# checks; then builds again with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs every test there.
# ZDB_SANITIZE=0 skips the second pass.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
scripts/install-deps.sh

BUILD_DIR=build scripts/build.sh
(cd build && ctest --output-on-failure --timeout 600)
scripts/check-style.sh

# The Windows program under Wine, where the Windows toolchain is at hand (a
# Qt built for it, or the ready one in ../shared/toolchains).
if command -v wine >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null \
  && { [ -d /opt/qt6-mingw ] || [ -f ../shared/toolchains/qt6.4.2-mingw-w64-x86_64.tar.xz ]; }; then
  echo "== The Windows program under Wine: installer, window, console =="
  scripts/build-windows.sh --target zdbtestservice
  rc=0
  tests/wine-app/run.sh dist/windows/zorvatdbbackup-*-setup.exe build-windows/tests/wine/zdbtestservice.exe || rc=$?
  [ "$rc" -eq 0 ] || [ "$rc" -eq 77 ] || exit "$rc"
else
  echo "SKIPPED: the Windows program under Wine (no MinGW-w64, Windows Qt or Wine here)"
fi

if [ "${ZDB_SANITIZE:-1}" != 0 ]; then
  echo "== The same suite under AddressSanitizer and UndefinedBehaviorSanitizer =="
  BUILD_DIR=build-sanitize scripts/build.sh -DZDB_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS=detect_leaks=1
  export LSAN_OPTIONS=suppressions=$top/tests/sanitizer.supp:print_suppressions=0
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  (cd build-sanitize && ctest --output-on-failure --timeout 900)
fi
