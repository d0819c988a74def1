# Run by CPack on the staged files of the Debian package, before it is made:
# Debian keeps manual pages and changelogs compressed (gzip -9n: no name or
# time stamp in the header, so that the package comes out the same each time).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE docs "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man1/*.1"
     "${CPACK_TEMPORARY_DIRECTORY}/*/share/doc/kovrel/changelog")
if(NOT docs)
  message(FATAL_ERROR "no manual page or changelog staged in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(doc IN LISTS docs)
  execute_process(COMMAND gzip -9nf "${doc}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${doc} failed")
  endif()
endforeach()
