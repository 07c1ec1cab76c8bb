# Cross-building for 64-bit Windows with Debian's MinGW-w64 compilers (scripts/build-windows.sh).
# TRELVOX_WINDOWS_DEPS names the folder holding the MinGW builds of qtbase (qt/) and the pkg-config
# files of Crypto++ and zstd (pkgconfig/).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The posix-thread compilers: Qt's threads and std::thread need them.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TRELVOX_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(TRELVOX_WINDOWS_DEPS)
    list(APPEND CMAKE_FIND_ROOT_PATH ${TRELVOX_WINDOWS_DEPS})
    list(APPEND CMAKE_PREFIX_PATH ${TRELVOX_WINDOWS_DEPS}/qt)
    # Only the Windows libraries: the machine's own .pc files describe Linux builds.
    set(ENV{PKG_CONFIG_LIBDIR} ${TRELVOX_WINDOWS_DEPS}/pkgconfig)
    set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
