# Run by CPack on the staged package (CPACK_PRE_BUILD_SCRIPTS): removes the .comment and .note
# sections from the programs, which the strip of CPACK_STRIP_FILES keeps.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(program ${programs})
  execute_process(COMMAND ${CPACK_QUILLON_STRIP} --remove-section=.comment --remove-section=.note
                          ${program} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not strip ${program}")
  endif()
endforeach()
