# Run at install time (quisel_install_shipped): QUISEL_IMAGE, just installed, keeps only what
# the loader needs, and its DWARF moves to .debug/NAME.debug beside it, which the image names
# in its .gnu_debuglink (with a checksum): gdb looks for it there. An image that holds no
# DWARF has been split already and is left alone, so that its debug file stays whole.
get_filename_component(dir "${QUISEL_IMAGE}" DIRECTORY)
get_filename_component(name "${QUISEL_IMAGE}" NAME)
execute_process(COMMAND "${QUISEL_READELF}" -S -W "${QUISEL_IMAGE}" OUTPUT_VARIABLE sections COMMAND_ERROR_IS_FATAL ANY)
if(NOT sections MATCHES "\\.debug_info ")
  return()
endif()
message(STATUS "Splitting: ${QUISEL_IMAGE} and .debug/${name}.debug")
file(MAKE_DIRECTORY "${dir}/.debug")
execute_process(COMMAND "${QUISEL_OBJCOPY}" --only-keep-debug "${QUISEL_IMAGE}" "${dir}/.debug/${name}.debug"
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${QUISEL_OBJCOPY}" --strip-unneeded "--add-gnu-debuglink=${dir}/.debug/${name}.debug"
  "${QUISEL_IMAGE}" COMMAND_ERROR_IS_FATAL ANY)
# A shared library is not a program: 644, as Debian ships them; the debug files likewise.
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CHMOD "${dir}/.debug/${name}.debug" PERMISSIONS ${readable})
if(name MATCHES "\\.so(\\.|$)")
  file(CHMOD "${QUISEL_IMAGE}" PERMISSIONS ${readable})
else()
  file(CHMOD "${QUISEL_IMAGE}" PERMISSIONS ${readable} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
endif()
