# What a launcher's developer gets: install rules, and one archive per build made by
# CPack (`cmake --build BUILD --target package`):
#   Windows  quisel-2.0.4.0-win32.zip / -win64.zip: bin/quisel.dll and quisel-run.exe,
#            include/quisel.h, lib/quisel.lib (MSVC), lib/libquisel.dll.a (MinGW),
#            lib/quisel.def, examples/launcher.c, README.md
#   native   quisel-2.0.4.0-linux-x86_64.tar.gz, the same tree as `cmake --install`:
#            GNU directories, libquisel.so.2, a CMake package and quisel.pc
# Every path inside the trees is relative to the tree itself, so they work wherever they
# are unpacked or installed.

if(WIN32)
  # The import library for the MSVC toolchain. Given the undecorated names of quisel.def,
  # llvm-dlltool maps a 32-bit cdecl symbol the way MSVC decorates it (_VersionBackup
  # imports VersionBackup); 64-bit names are not decorated. Its objects are SAFESEH-clean,
  # which a 32-bit MSVC link requires by default and MinGW's dlltool output is not.
  find_program(QUISEL_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(dlltool_machine i386:x86-64)
    set(package_system win64)
  else()
    set(dlltool_machine i386)
    set(package_system win32)
  endif()
  set(msvc_import_library ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/quisel.lib)
  add_custom_command(OUTPUT ${msvc_import_library}
    COMMAND ${QUISEL_LLVM_DLLTOOL} -m ${dlltool_machine} -d ${CMAKE_SOURCE_DIR}/frame/quisel.def
            -l ${msvc_import_library}
    DEPENDS ${CMAKE_SOURCE_DIR}/frame/quisel.def
    VERBATIM)
  add_custom_target(quisel_msvc_import_library ALL DEPENDS ${msvc_import_library})

  # A Windows program finds its DLLs beside it: the library goes to bin/. The MinGW
  # import library libquisel.dll.a is the one the link of quisel.dll makes.
  install(TARGETS quisel quisel-run RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  install(FILES ${msvc_import_library} ${CMAKE_SOURCE_DIR}/frame/quisel.def DESTINATION lib)
  install(FILES ${CMAKE_SOURCE_DIR}/include/quisel.h DESTINATION include)
  install(FILES ${CMAKE_SOURCE_DIR}/examples/launcher.c DESTINATION examples)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
else()
  set(package_system linux-${CMAKE_SYSTEM_PROCESSOR})
  set(cmake_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quisel)

  install(TARGETS quisel EXPORT quiselTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS quisel-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/include/quisel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  # find_package(quisel 2.0) gives quisel::quisel; the generated targets file finds the
  # tree's root from its own place.
  include(CMakePackageConfigHelpers)
  install(EXPORT quiselTargets NAMESPACE quisel:: DESTINATION ${cmake_package_dir})
  file(WRITE ${CMAKE_BINARY_DIR}/package/quiselConfig.cmake
    "include(\"\${CMAKE_CURRENT_LIST_DIR}/quiselTargets.cmake\")\n")
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/quiselConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/package/quiselConfig.cmake
    ${CMAKE_BINARY_DIR}/package/quiselConfigVersion.cmake DESTINATION ${cmake_package_dir})

  # pkg-config: the prefix is found from the .pc file's own folder (pcfiledir).
  file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/quisel.pc.in ${CMAKE_BINARY_DIR}/package/quisel.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/quisel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/examples/launcher.c ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME quisel)
set(CPACK_PACKAGE_VENDOR quisel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME quisel-${PROJECT_VERSION}-${package_system})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)
