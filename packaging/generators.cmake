# Read by cpack for each generator. The system packages install under /usr;
# the tarball's paths stay relative to its own folder.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
