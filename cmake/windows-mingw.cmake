# The project's Windows cross build: the MinGW-w64 toolchain the Windows Qt was
# built with (loaded through that Qt's own toolchain file), Debian's Qt of the
# same version as the host Qt for moc, rcc and uic, and Wine to run what is
# built (ctest, custom commands).
set(ZDB_QT_WINDOWS /opt/qt6-mingw CACHE PATH "The Windows Qt (MinGW-w64 build)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZDB_QT_WINDOWS)
include(${ZDB_QT_WINDOWS}/lib/cmake/Qt6/qt.toolchain.cmake)
set(QT_HOST_PATH /usr CACHE PATH "The host Qt")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "The host Qt's CMake packages")
# Test executables run in the test run's own Wine prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run.sh)
