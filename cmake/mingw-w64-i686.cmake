# Cross build for 32-bit Windows with Debian's mingw-w64 i686 toolchain
# (packages g++-mingw-w64-i686 and binutils-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KPX_MINGW_PREFIX i686-w64-mingw32)
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
