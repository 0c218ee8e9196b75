# A project's toolchain for the MSVC ABI with no SDK and no C runtime: clang-cl compiles,
# lld-link links, as Visual Studio's ClangCL toolset does. QUISEL_MSVC_ARCH is win32 or
# win64; QUISEL_KERNEL32_LIB names an import library for ExitProcess, the only system
# function a runtime-free program needs.
set(CMAKE_SYSTEM_NAME Windows)
if(QUISEL_MSVC_ARCH STREQUAL "win32")
  set(CMAKE_SYSTEM_PROCESSOR X86)
  set(triple i686-pc-windows-msvc)
  # MSVC's 32-bit links are /SAFESEH by default.
  set(safeseh /safeseh)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(triple x86_64-pc-windows-msvc)
  set(safeseh "")
endif()
find_program(CMAKE_C_COMPILER NAMES clang-cl clang-cl-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link lld-link-14 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc llvm-rc-14)
find_program(CMAKE_MT NAMES llvm-mt llvm-mt-14)
# Nothing to link a test program with: the compiler checks build a static library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# CMake hands clang-cl no target of its own; no security cookie (it lives in the C
# runtime); every warning an error.
set(CMAKE_C_FLAGS_INIT "--target=${triple} /GS- /W4 /WX")
set(CMAKE_EXE_LINKER_FLAGS_INIT "/nodefaultlib /entry:Entry /subsystem:console /manifest:no ${safeseh}")
set(CMAKE_C_STANDARD_LIBRARIES "${QUISEL_KERNEL32_LIB}" CACHE STRING "" FORCE)
