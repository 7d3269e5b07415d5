#!/usr/bin/env bash
# Cross-builds the program for Windows with MinGW-w64 into build-windows/, and
# makes dist/windows/zorvatdbbackup/ (the program, the Qt and MinGW runtime
# DLLs, the platform plugin: runs as it stands on Windows) and its zip.
# The Windows Qt is /opt/qt6-mingw: unpacked from ../shared/toolchains when
# that holds it, else built from Debian's qt6-base source (about 40 minutes).
# Extra arguments go to the build (e.g. --target all for the tests).
# ZDB_QT_MINGW and ZDB_TOOLCHAINS name another Qt prefix and archive folder.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
qt=${ZDB_QT_MINGW:-/opt/qt6-mingw}
shared=${ZDB_TOOLCHAINS:-$top/../shared/toolchains}
archive=$shared/qt6.4.2-mingw-w64-x86_64.tar.xz
build_dir=${BUILD_DIR:-build-windows}

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
  ninja-build cmake qt6-base-dev qt6-base-dev-tools libxxhash-dev wine wine64 xvfb xz-utils nsis)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

build_qt() {
  # The same build as the one in ../shared/toolchains (its README).
  local work=${QT_BUILD_DIR:-/tmp/zdb-qt6-mingw}
  mkdir -p "$work/aptsrc/lists/partial"
  cd "$work"
  local uri
  uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=http://deb.debian.org/debian
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm main" >aptsrc/src.list
  local A=(-o Dir::Etc::SourceList="$work/aptsrc/src.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State::Lists="$work/aptsrc/lists")
  apt-get "${A[@]}" update
  apt-get "${A[@]}" source --download-only qt6-base=6.4.2+dfsg-10
  rm -rf qtbase-everywhere-src-6.4.2 qtbase-build
  tar xf qt6-base_6.4.2+dfsg.orig.tar.xz
  cp "$top/cmake/mingw-w64-x86_64.cmake" .
  local src=$PWD/qtbase-everywhere-src-6.4.2 bld=$PWD/qtbase-build
  cmake -S "$src" -B "$bld" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/mingw-w64-x86_64.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$qt" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    "-DCMAKE_C_FLAGS=-ffile-prefix-map=$src=qtbase -ffile-prefix-map=$bld=qtbase-build" \
    "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$src=qtbase -ffile-prefix-map=$bld=qtbase-build" \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF -DFEATURE_dbus=OFF \
    -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_icu=OFF -DFEATURE_zstd=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF
  cmake --build "$bld" --parallel "$(nproc)"
  cmake --install "$bld"
  # The toolchain goes with the Qt it built, loaded from beside it.
  cp "$top/cmake/mingw-w64-x86_64.cmake" "$qt/lib/cmake/"
  sed -i 's|^set(__qt_initially_configured_toolchain_file .*|set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/../mingw-w64-x86_64.cmake")|' \
    "$qt/lib/cmake/Qt6/qt.toolchain.cmake"
  cd "$top"
}

if [ ! -f "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
  if [ -f "$archive" ]; then
    (cd "$shared" && sha256sum -c "$(basename "$archive").sha256")
    mkdir -p "$qt" && tar -C "$qt" --strip-components=1 -xJf "$archive"
  else
    build_qt
  fi
fi

cmake --preset windows -B "$build_dir" -DZDB_QT_WINDOWS="$qt" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target zorvatdbbackup zorvatdbbackup-console zorvatdbbackup-print "$@"

# The folder that runs as it stands on Windows, and its zip.
dist=$top/dist/windows/zorvatdbbackup
rm -rf "$dist"
mkdir -p "$dist/platforms" "$dist/styles"
cp "$build_dir/zorvatdbbackup.exe" "$build_dir/zorvatdbbackup.com" "$build_dir/zorvatdbbackup-print.dll" "$dist/"
for m in Core Gui Widgets PrintSupport; do cp "$qt/bin/Qt6$m.dll" "$dist/"; done
cp "$qt/plugins/platforms/qwindows.dll" "$dist/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$dist/styles/"
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
cp "$gcc_dir/libstdc++-6.dll" "$gcc_dir/libgcc_s_seh-1.dll" /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$dist/"
mkdir -p "$dist/licenses" && cp -r "$qt/share/licenses/." "$dist/licenses/" 2>/dev/null || true
(cd "$top/dist/windows" && rm -f zorvatdbbackup-windows.zip \
  && cmake -E tar cf zorvatdbbackup-windows.zip --format=zip zorvatdbbackup)
# The installer (NSIS): Program Files, Start menu, Event Log source, the tasks.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
setup=$top/dist/windows/zorvatdbbackup-$version-setup.exe
rm -f "$top"/dist/windows/zorvatdbbackup-*-setup.exe
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DDIST="$dist" -DOUTFILE="$setup" packaging/windows/installer.nsi
echo "Windows build: $build_dir/zorvatdbbackup.exe, $dist, dist/windows/zorvatdbbackup-windows.zip, $setup"
