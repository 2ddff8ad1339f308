# Run by CPack on the files it is about to pack (CPACK_PRE_BUILD_SCRIPTS), to
# give them the form Debian's own packages have: manual pages compressed
# without a time stamp, and no compiler notes (.comment) in the programs, the
# shared library and the static library; and every folder open to all
# users, as the files in it are.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")

# The install makes its folders under the umask of the one who packs: with
# umask 077 they were 0700, and installed that way, so that no one but root
# could read the documentation, the header or the CMake package.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
    file(CHMOD "${entry}" DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

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
