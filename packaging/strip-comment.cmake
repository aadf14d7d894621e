# CPack runs this on the staged files before it builds the packages: the
# stripped programs and libraries also lose the .comment section (the compiler's
# name and version), as Debian's packages do.
find_program(objcopy objcopy REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(f ${staged})
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  file(READ "${f}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND ${objcopy} --remove-section=.comment "${f}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
