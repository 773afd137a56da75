# Cross build for Windows with Debian's mingw-w64 toolchain: 32-bit (i686, packages
# g++-mingw-w64-i686 and binutils-mingw-w64-i686) unless KPX_MINGW_ARCH says x86_64
# (packages g++-mingw-w64-x86-64 and binutils-mingw-w64-x86-64).
set(KPX_MINGW_ARCH "i686" CACHE STRING "mingw-w64 target processor: i686 or x86_64")
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KPX_MINGW_ARCH})

set(KPX_MINGW_PREFIX ${KPX_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${KPX_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${KPX_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${KPX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KPX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: the C and C++ runtimes are linked in, no DLL of ours is needed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
