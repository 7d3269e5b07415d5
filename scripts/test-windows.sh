#!/usr/bin/env bash
# The Windows build's tests under Wine (tests/wine): the portable suites, the
# Windows file checks, and the real program's --run against a test service.
# The toolchain is at hand where the Windows Qt is (/opt/qt6-mingw, or its
# archive in ../shared/toolchains): scripts/build-windows.sh installs the rest.
# Then the installed program: the installer, the window and the console twin.
# Prints SKIPPED elsewhere (building Qt itself takes about 40 minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
archive=../shared/toolchains/qt6.4.2-mingw-w64-x86_64.tar.xz
if [ ! -f /opt/qt6-mingw/lib/cmake/Qt6/qt.toolchain.cmake ] && [ ! -f "$archive" ]; then
  echo "SKIPPED: the Windows tests need the Windows Qt (/opt/qt6-mingw, or $archive; scripts/build-windows.sh builds it)"
  exit 0
fi
scripts/build-windows.sh
cmake --build build-windows -j"$(nproc)" --target zdbtestservice test_portable test_settings
(cd build-windows && ctest --output-on-failure --timeout 600)
rc=0
tests/wine-app/run.sh dist/windows/zorvatdbbackup-*-setup.exe build-windows/tests/wine/zdbtestservice.exe || rc=$?
[ "$rc" -eq 0 ] || [ "$rc" -eq 77 ] || exit "$rc"
