# SPDX-License-Identifier: MIT
# Cross-building for 64-bit Windows with Debian's mingw-w64 (posix threads, for
# std::thread and std::mutex): -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake, or
# chained from Qt's own toolchain file (QT_CHAINLOAD_TOOLCHAIN_FILE).
set(vantrel_mingw_arch x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
