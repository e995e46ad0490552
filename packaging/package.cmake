# The packages. A dynamic build makes the Debian package: /usr/bin/kevrane,
# its manual page, copyright and changelog, library dependencies found by
# dpkg-shlibdeps. A static build (KEVRANE_STATIC) makes the tarball and the
# RPM, for every other Linux: the same files, with the README, the licence
# and a notice of what the binary carries of other projects.

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
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${docdir})

set(CPACK_PACKAGE_NAME kevrane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Kevrane developers")
set(CPACK_PACKAGE_CONTACT "Kevrane developers <kevrane@kevrane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "full-screen monitor of interrupt activity per CPU")
set(CPACK_PACKAGE_DESCRIPTION "Kevrane reads the kernel's interrupt table, /proc/interrupts, and shows
it as a live grid: one row per interrupt source (like sources merged into
one row), one column per CPU, and a total, as counts since the monitor
started, per second, or since boot. It pages through machines with
thousands of CPUs from the keyboard and costs the watched machine little
more than reading the table.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/generators.cmake)

if(NOT KEVRANE_STATIC)
  install(FILES packaging/copyright DESTINATION ${docdir})
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kevrane.invalid/")
else()
  install(FILES README.md LICENSE packaging/NOTICE DESTINATION ${docdir})
  set(CPACK_GENERATOR TGZ RPM)
  # The tarball: kevrane-VERSION-linux-ARCH/ holding bin/, share/man/ and
  # share/doc/, to run where it is unpacked or to unpack into /usr/local.
  set(CPACK_PACKAGE_FILE_NAME kevrane-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  # RPM names the architectures as the kernel does (x86_64, aarch64,
  # ppc64le, s390x), and so do the toolchain files.
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_RELEASE 1)
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_RPM_PACKAGE_LICENSE "MIT AND LGPL-2.1-or-later AND X11-distribute-modifications-variant AND GPL-3.0-or-later WITH GCC-exception-3.1")
  set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
  set(CPACK_RPM_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  # The binary needs nothing from the system. rpm would still ask for the
  # loader's hash style, which a static binary's own start-up handles.
  set(CPACK_RPM_PACKAGE_AUTOREQ OFF)
  set(CPACK_RPM_USER_FILELIST "%license /usr/${docdir}/LICENSE" "%license /usr/${docdir}/NOTICE"
      "%doc /usr/${docdir}/README.md")
  set(CPACK_RPM_PACKAGE_URL "https://kevrane.invalid/")
  set(CPACK_RPM_CHANGELOG_FILE ${CMAKE_CURRENT_LIST_DIR}/rpm-changelog)
  # Directories every system has belong to the system, not to Kevrane.
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
  # Two builds from the same source give the same RPM: the build time is
  # SOURCE_DATE_EPOCH, no file is newer, and the build host is fixed.
  set(CPACK_RPM_SPEC_MORE_DEFINE "%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none")
endif()
include(CPack)
