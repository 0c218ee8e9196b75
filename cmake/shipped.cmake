# What the shipped images (the library and quisel-run) get, so that one commit gives the
# same bytes from any folder at any time, and a crash dump can be read at their frames.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

# No build or source folder in any output: in debug information and __FILE__ both are ".",
# the build folder mapped last so that it wins where it lies inside the sources.
set(QUISEL_PREFIX_MAPS -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
target_compile_options(quisel_objects PRIVATE ${QUISEL_PREFIX_MAPS})

# Windows: the public symbols go to NAME.pdb beside the image, which names it in a CodeView
# record whose GUID ld derives from the image's contents (--build-id); the image carries no
# time stamp, no DWARF and no COFF symbol table. ld writes the build folder and the link's
# time into the PDB; pdb_reproducible.py takes them out again. Called in the directory that
# defines TARGET, which its post-build step must be.
function(quisel_shipped target)
  target_compile_options(${target} PRIVATE ${QUISEL_PREFIX_MAPS})
  target_link_options(${target} PRIVATE LINKER:--build-id)
  if(WIN32)
    set(pdb ${CMAKE_BINARY_DIR}/${target}.pdb)
    target_link_options(${target} PRIVATE -s LINKER:--no-insert-timestamp LINKER:--pdb=${pdb})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pdb_reproducible.py ${pdb} ${CMAKE_BINARY_DIR}
      VERBATIM)
  endif()
endfunction()

# Installs a shipped image into DESTINATION: on Windows with its PDB beside it; on Linux
# stripped, its DWARF split off into DESTINATION/.debug/NAME.debug, which gdb finds through
# the image's .gnu_debuglink (split_debug.cmake). The build folder's image keeps its DWARF.
function(quisel_install_shipped target destination)
  install(TARGETS ${target} RUNTIME DESTINATION ${destination} LIBRARY DESTINATION ${destination}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(WIN32)
    install(FILES ${CMAKE_BINARY_DIR}/${target}.pdb DESTINATION ${destination})
  else()
    install(CODE "set(QUISEL_OBJCOPY \"${CMAKE_OBJCOPY}\")
set(QUISEL_READELF \"${CMAKE_READELF}\")
set(QUISEL_IMAGE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>\")
include(\"${CMAKE_SOURCE_DIR}/cmake/split_debug.cmake\")")
  endif()
endfunction()
