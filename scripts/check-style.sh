#!/usr/bin/env bash
# The code keeps the house format (.clang-format) and passes the fault checks
# of .clang-tidy. Needs a configured build folder for the compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files keep the house format"
run-clang-tidy -p "$build_dir" -quiet -j"$(nproc)" \
  "$PWD/(system|backup|platform|formutil|settings|app|cli)/.*\.cpp$|$PWD/main\.cpp$" >"$build_dir/clang-tidy.log" 2>&1 || {
  grep -E 'error:|warning:' "$build_dir/clang-tidy.log" | grep -v 'warnings generated' | sort -u
  echo "clang-tidy found faults (full log: $build_dir/clang-tidy.log)"
  exit 1
}
echo "clang-tidy: no findings"
