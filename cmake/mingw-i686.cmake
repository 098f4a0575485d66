# Cross-compiling the Windows stubs (32-bit x86) with mingw-w64.
set(ZOP_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
