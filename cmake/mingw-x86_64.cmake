# Cross-compiling the Windows programs for 64-bit x86 with mingw-w64: the
# stubs shipped as zop64.exe and zopw64.exe, and the test build on machines
# that cannot execute 32-bit code.
set(ZOP_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# A fixed image base below 4 GiB, as a 32-bit program has: code addresses in
# the failure report keep their eight hex digits.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--image-base=0x10000000 -Wl,--disable-dynamicbase -Wl,--disable-high-entropy-va")
