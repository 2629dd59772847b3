# SPDX-License-Identifier: MIT
# Cross-building for 32-bit Windows with Debian's mingw-w64 (posix threads, for
# std::thread and std::mutex): -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake, or
# chained from Qt's own toolchain file (QT_CHAINLOAD_TOOLCHAIN_FILE).
set(vantrel_mingw_arch i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
