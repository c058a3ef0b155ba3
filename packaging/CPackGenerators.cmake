# Read by CPack once per generator. The Debian package adds the component "debian" (the
# systemd unit, the copyright and changelog, the lintian overrides) to the installation folder,
# and installs into a staging DESTDIR so that those absolute paths stay inside the package.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_SET_DESTDIR ON)
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 pelmora_build_dir)
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 1 pelmora_project)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${pelmora_build_dir} ${pelmora_project} debian /)
endif()
