# Cross build of the 64-bit DLL (build/win64), for 64-bit launchers.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUISEL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
