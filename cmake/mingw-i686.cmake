# SPDX-License-Identifier: Apache-2.0
# Cross-compiles for 32-bit Windows with Debian's MinGW-w64. The posix thread variant
# is used because GoogleTest needs std::mutex, which the win32 variant of GCC 12 lacks;
# the helper itself links no C++ runtime, so the variant does not reach it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
