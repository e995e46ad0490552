# The Debian package: /usr/bin/kevrane, its manual page, copyright and
# changelog; library dependencies found by dpkg-shlibdeps.

find_program(GZIP gzip REQUIRED)
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/kevrane)
# Debian wants the manual page and the changelog compressed, reproducibly.
foreach(f kevrane.1 packaging/changelog)
  get_filename_component(name ${f} NAME)
  add_custom_command(OUTPUT ${name}.gz
    COMMAND ${GZIP} -9n -c ${CMAKE_SOURCE_DIR}/${f} > ${name}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/${f})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS kevrane.1.gz changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/kevrane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz packaging/copyright DESTINATION ${docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kevrane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kevrane developers <kevrane@kevrane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "full-screen monitor of interrupt activity per CPU")
set(CPACK_PACKAGE_DESCRIPTION "Kevrane reads the kernel's interrupt table, /proc/interrupts, and shows
it as a live grid: one row per interrupt source (like sources merged into
one row), one column per CPU, and a total, as counts since the monitor
started, per second, or since boot. It pages through machines with
thousands of CPUs from the keyboard and costs the watched machine little
more than reading the table.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kevrane.invalid/")
include(CPack)
