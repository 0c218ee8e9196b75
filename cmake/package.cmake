# What a launcher's developer gets: install rules, and one archive per build
# (`cmake --build BUILD --target package`):
#   Windows  quisel-2.0.4.0-win32.zip / -win64.zip: bin/quisel.dll and quisel-run.exe with
#            their PDBs, include/quisel.h, lib/quisel.lib (MSVC), lib/libquisel.dll.a (MinGW),
#            lib/quisel.def, lib/cmake/quisel (find_package), examples/, README.md
#   native   quisel-2.0.4.0-linux-x86_64.tar.gz, the same tree as `cmake --install`:
#            GNU directories, libquisel.so.2 stripped with its debug file, a CMake package
#            and quisel.pc
# Every path inside the trees is relative to the tree itself, so they work wherever they
# are unpacked or installed. The archives hold nothing of the folder or time they were made
# in (archive.py): the same commit gives the same bytes.
include(CMakePackageConfigHelpers)

if(WIN32)
  # The import library for the MSVC toolchain, made by llvm-dlltool: given undecorated
  # names, it maps a 32-bit cdecl symbol the way MSVC decorates it (_VersionBackup imports
  # VersionBackup; 64-bit names are not decorated), and its objects are SAFESEH-clean, which
  # a 32-bit MSVC link requires by default and MinGW's dlltool output is not. Each import's
  # hint (where the loader first looks the name up) is the name's place in the DLL's export
  # name table, which is sorted by name, as an MSVC link writes it; llvm-dlltool takes the
  # hint from the "@" field of its .def. libquisel.dll.a, which ld writes, has the ordinals
  # there instead, so a program's imports tell which of the two it was linked with.
  find_program(QUISEL_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(dlltool_machine i386:x86-64)
    set(package_system win64)
  else()
    set(dlltool_machine i386)
    set(package_system win32)
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/frame/quisel.def)
  file(STRINGS ${CMAKE_SOURCE_DIR}/frame/quisel.def export_lines REGEX "^[ \t]+[A-Za-z_][A-Za-z0-9_]* @")
  set(export_names)
  foreach(line IN LISTS export_lines)
    string(REGEX REPLACE "^[ \t]+([A-Za-z0-9_]+) .*" "\\1" name "${line}")
    list(APPEND export_names ${name})
  endforeach()
  list(SORT export_names)
  set(hints_def "LIBRARY quisel.dll\nEXPORTS\n")
  set(hint 0)
  foreach(name IN LISTS export_names)
    string(APPEND hints_def "    ${name} @${hint}\n")
    math(EXPR hint "${hint} + 1")
  endforeach()
  set(hints_def_file ${CMAKE_BINARY_DIR}/package/quisel-hints.def)
  file(WRITE ${hints_def_file} "${hints_def}")
  set(msvc_import_library ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/quisel.lib)
  add_custom_command(OUTPUT ${msvc_import_library}
    COMMAND ${QUISEL_LLVM_DLLTOOL} -m ${dlltool_machine} -d ${hints_def_file} -l ${msvc_import_library}
    DEPENDS ${hints_def_file}
    VERBATIM)
  add_custom_target(quisel_msvc_import_library ALL DEPENDS ${msvc_import_library})

  # A Windows program finds its DLLs beside it: the library goes to bin/. The MinGW
  # import library libquisel.dll.a is the one the link of quisel.dll makes.
  quisel_install_shipped(quisel ${CMAKE_INSTALL_BINDIR})
  quisel_install_shipped(quisel-run ${CMAKE_INSTALL_BINDIR})
  install(FILES ${msvc_import_library} ${CMAKE_SOURCE_DIR}/frame/quisel.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/include/quisel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/examples/launcher.c ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt
    DESTINATION examples)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  set(library_file ${CMAKE_INSTALL_BINDIR}/quisel.dll)
  set(archive_kind zip)
else()
  set(package_system linux-${CMAKE_SYSTEM_PROCESSOR})
  quisel_install_shipped(quisel ${CMAKE_INSTALL_LIBDIR})
  quisel_install_shipped(quisel-run ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/include/quisel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  # pkg-config: the prefix is found from the .pc file's own folder (pcfiledir).
  file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/quisel.pc.in ${CMAKE_BINARY_DIR}/package/quisel.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/quisel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/examples/launcher.c ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  set(library_file ${CMAKE_INSTALL_LIBDIR}/libquisel.so.${PROJECT_VERSION})
  set(archive_kind tgz)
endif()

# find_package(quisel 2.0) gives quisel::quisel, from the same two templates for every
# build: the config finds the tree's root from its own place; the version file takes any 2.x
# from the one asked for, and only for a project of the package's own system and pointer size.
set(cmake_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quisel)
file(RELATIVE_PATH config_to_root /root/${cmake_package_dir} /root)
math(EXPR package_bits "8 * ${CMAKE_SIZEOF_VOID_P}")
set(soname libquisel.so.${PROJECT_VERSION_MAJOR})
foreach(file quiselConfig quiselConfigVersion)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/${file}.cmake.in ${CMAKE_BINARY_DIR}/package/${file}.cmake @ONLY)
endforeach()
# The versions it takes; the system and pointer size are quiselConfigVersion's own test.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/quiselVersionRange.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/package/quiselConfig.cmake ${CMAKE_BINARY_DIR}/package/quiselConfigVersion.cmake
  ${CMAKE_BINARY_DIR}/package/quiselVersionRange.cmake DESTINATION ${cmake_package_dir})

# The archive: the install tree staged in the build folder, packed by archive.py (DESTDIR
# from the caller's environment would put the tree elsewhere). It builds what it ships, not
# the tests.
# A build folder that CPack once packed keeps its CPackConfig.cmake, and CMake then holds
# the target name "package" for CPack.
file(REMOVE ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
set(package_top quisel-${PROJECT_VERSION}-${package_system})
set(package_stage ${CMAKE_BINARY_DIR}/package/stage)
set(package_file ${CMAKE_BINARY_DIR}/${package_top}.${archive_kind})
string(REGEX REPLACE "\\.tgz$" ".tar.gz" package_file "${package_file}")
add_custom_target(package
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${package_stage}
  COMMAND ${CMAKE_COMMAND} -E env --unset=DESTDIR
          ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${package_stage}/${package_top}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/archive.py ${archive_kind} ${package_stage}
          ${package_top} ${package_file} ${CMAKE_SOURCE_DIR}
  VERBATIM)
add_dependencies(package quisel quisel-run)
if(WIN32)
  add_dependencies(package quisel_msvc_import_library)
endif()
