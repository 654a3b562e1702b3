# Cross-building 64-bit Windows programs with Debian's MinGW-w64. The posix
# threads variant of the compilers is the one whose C++ library has
# std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PROCWARD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PROCWARD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PROCWARD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PROCWARD_MINGW_PREFIX}-windres)
set(CMAKE_AR ${PROCWARD_MINGW_PREFIX}-gcc-ar-posix)
set(CMAKE_RANLIB ${PROCWARD_MINGW_PREFIX}-gcc-ranlib-posix)

# Libraries and headers come from the MinGW tree and from the cross-built
# libraries named in CMAKE_PREFIX_PATH, never from the build machine's own
# /usr; programs (wx-config) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${PROCWARD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
