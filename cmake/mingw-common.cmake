# What both MinGW-w64 cross builds share; the toolchain file of each architecture sets
# QUISEL_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR, then includes this. The -posix
# compilers carry std::thread/std::mutex, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QUISEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUISEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUISEL_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUISEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
