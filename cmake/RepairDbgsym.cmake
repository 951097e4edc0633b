# CPack post-build script: CPack's -dbgsym packages list their files in
# md5sums by absolute build paths and carry no documentation. Each is
# rebuilt with md5sums of its packaged paths and its documentation folder
# linked to the package it belongs to (which it depends on, same version).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  get_filename_component(name "${package}" NAME)
  string(REGEX REPLACE "-dbgsym_.*" "" owner "${name}")
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/repair-${owner}-dbgsym")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot unpack ${package}")
  endif()
  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK "${owner}" "${tree}/usr/share/doc/${owner}-dbgsym" SYMBOLIC)
  execute_process(COMMAND sh -c "find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum > DEBIAN/md5sums"
    WORKING_DIRECTORY "${tree}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot list the files of ${package}")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}" "${package}"
    RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot rebuild ${package}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
