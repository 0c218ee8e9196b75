# Cross build of the real 32-bit DLL (build/win32).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUISEL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
