# Run by CPack on the packages it made (CPACK_POST_BUILD_SCRIPTS). CPack has a
# package with a shared library run ldconfig from postinst and postrm; Debian
# runs it through the ldconfig trigger instead, once for all packages installed
# together. Such a package gets the trigger in place of the two scripts.
# Other generators (cpack -G TGZ) make no Debian packages: nothing to do.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  if(EXISTS "${tree}/DEBIAN/shlibs")
    foreach(script postinst postrm)
      file(STRINGS "${tree}/DEBIAN/${script}" commands REGEX "^[^#]")
      list(FILTER commands EXCLUDE REGEX "^(set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|fi|\tldconfig)$")
      if(commands)
        message(FATAL_ERROR "${deb}: ${script} does more than run ldconfig: ${commands}")
      endif()
      file(REMOVE "${tree}/DEBIAN/${script}")
    endforeach()
    file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    execute_process(COMMAND dpkg-deb --root-owner-group -Z${CPACK_DEBIAN_COMPRESSION_TYPE} -b "${tree}" "${deb}"
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
