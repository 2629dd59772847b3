# SPDX-License-Identifier: MIT
# What the two mingw-w64 toolchain files share: each sets vantrel_mingw_arch
# and includes this one. A plain variable, as try_compile reads the toolchain
# file again without our cache.
if(NOT vantrel_mingw_arch MATCHES "^(x86_64|i686)$")
    message(FATAL_ERROR "Use cmake/mingw-w64-x86_64.cmake or cmake/mingw-w64-i686.cmake as the toolchain file.")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${vantrel_mingw_arch})
set(CMAKE_C_COMPILER ${vantrel_mingw_arch}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${vantrel_mingw_arch}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${vantrel_mingw_arch}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${vantrel_mingw_arch}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
