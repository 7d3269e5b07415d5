#!/usr/bin/env bash
# Installs what is needed, builds, runs every test and the format and fault
# checks, and the Windows build's tests under Wine; then builds again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test there.
# ZDB_SANITIZE=0 skips the second pass.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
scripts/install-deps.sh

BUILD_DIR=build scripts/build.sh
(cd build && ctest --output-on-failure --timeout 600)
scripts/check-style.sh
# The same sources built for Windows, run under Wine where the toolchain is at hand.
scripts/test-windows.sh

if [ "${ZDB_SANITIZE:-1}" != 0 ]; then
  echo "== The same suite under AddressSanitizer and UndefinedBehaviorSanitizer =="
  BUILD_DIR=build-sanitize scripts/build.sh -DZDB_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS=detect_leaks=1
  export LSAN_OPTIONS=suppressions=$top/tests/sanitizer.supp:print_suppressions=0
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  (cd build-sanitize && ctest --output-on-failure --timeout 900)
fi
