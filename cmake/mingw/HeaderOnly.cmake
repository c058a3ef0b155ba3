# The header-only packages of the build host for the cross build. Their own package files name
# the host's include folder, which would put the host's C library before the cross compiler's;
# these name a folder that holds nothing but the one package's headers.
#   pelmora_header_only(TARGET name FOLDER folder-under-the-host-include-folder)
function(pelmora_header_only)
  cmake_parse_arguments(H "" "TARGET;FOLDER" "" ${ARGN})
  if(TARGET ${H_TARGET})
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/host-headers/${H_FOLDER})
  if(NOT EXISTS ${dir}/${H_FOLDER})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${PELMORA_HOST_INCLUDE}/${H_FOLDER} ${dir}/${H_FOLDER} SYMBOLIC)
  endif()
  add_library(${H_TARGET} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${H_TARGET} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir})
endfunction()
