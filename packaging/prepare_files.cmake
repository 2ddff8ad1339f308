# Run by CPack on the files it is about to pack (CPACK_PRE_BUILD_SCRIPTS), to
# give them the form Debian's own packages have: manual pages compressed
# without a time stamp, and no compiler notes (.comment) in the programs, the
# shared library and the static library.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")

set(manual_pages ${files})
list(FILTER manual_pages INCLUDE REGEX "/usr/share/man/man[1-9]/[^/]+\\.[1-9]$")
foreach(page IN LISTS manual_pages)
  execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(objects ${files})
list(FILTER objects INCLUDE REGEX "/usr/(bin/[^/]+|lib/.*\\.so\\.[0-9.]+|lib/.*\\.a)$")
foreach(object IN LISTS objects)
  if(NOT IS_SYMLINK "${object}")
    execute_process(COMMAND objcopy --remove-section=.comment --enable-deterministic-archives "${object}"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
