# Cross-build for 64-bit Windows with MinGW-w64: the same sources as the 32-bit build; its tests
# run under wine64 where a host runs no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PARVOLET_MINGW_TRIPLET x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
