# Run by CPack on its staging tree before it packs: compresses the man pages as Debian's policy
# asks (gzip -9n, no name or time stamp inside, so the package is reproducible).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*.[1-9]")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot gzip ${page}")
  endif()
endforeach()
