# Toolchain file for x86_64-w64-mingw32 (Debian 12: g++-mingw-w64-x86-64-posix 12.2,
# mingw-w64 10.0). Used for the qtbase 6.4.2 cross build and chainloaded by the
# qt.toolchain.cmake that build installs, for the project itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_SYSTEM_VERSION 10.0)

set(_triple x86_64-w64-mingw32)
# The -posix variants: std::thread/std::mutex (winpthreads), the thread model Qt's own MinGW builds use.
set(CMAKE_C_COMPILER   /usr/bin/${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${_triple}-g++-posix)
set(CMAKE_RC_COMPILER  /usr/bin/${_triple}-windres)
set(CMAKE_MC_COMPILER  /usr/bin/${_triple}-windmc)   # Event Log message table

# Target headers and libraries come from the MinGW sysroot (and the installed
# Windows Qt); programs (moc, rcc, uic, perl, ninja) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple} /opt/qt6-mingw)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No compile definitions here: the same file builds Qt itself. The project adds its own
# (UNICODE, NOMINMAX, _WIN32_WINNT=0x0A00, _FILE_OFFSET_BITS=64) in its CMakeLists for WIN32.

# ctest (and add_custom_command on target executables) run them through Wine.
find_program(_zdb_wine NAMES wine wine-stable)
if(_zdb_wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_zdb_wine})
endif()
# pkg-config must never hand host (Linux) libraries to a Windows link.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${_triple}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
