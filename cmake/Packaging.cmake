# The Debian package: its documents and CPack's DEB settings. scripts/package.sh configures
# with PORTULA_PACKAGING=ON and a prefix of /usr, builds, and runs cpack.

set(PORTULA_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(PORTULA_PACKAGE_MAINTAINER
    "Portula maintainers <maintainers@users.noreply.c-seed-7e318540.example>"
    CACHE STRING "The Maintainer field of the package")
# The package's version is the project's, with no Debian revision: the project makes its own
# package. The changelog's newest entry must be this version: the package would otherwise tell
# of another release than the one it holds.
file(STRINGS ${PORTULA_PACKAGING_DIR}/changelog changelog_head LIMIT_COUNT 1)
set(package_version ${PROJECT_VERSION})
if(NOT changelog_head MATCHES "^portula \\(([^)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first line is not an entry of portula")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL package_version)
  message(FATAL_ERROR "packaging/changelog: its newest entry is ${CMAKE_MATCH_1}, the package "
                      "${package_version}; add an entry for ${package_version}")
endif()

# Debian's documents: the copyright as it is, the changelog gzipped without a time stamp.
set(package_docdir ${CMAKE_INSTALL_DATADIR}/doc/portula)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.Debian.gz
  COMMAND ${PORTULA_GZIP} -9nc ${PORTULA_PACKAGING_DIR}/changelog > changelog.Debian.gz
  DEPENDS ${PORTULA_PACKAGING_DIR}/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
add_custom_target(portula_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
install(FILES ${PORTULA_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
        DESTINATION ${package_docdir})

# The README, gzipped as Debian wants a document of its size, and the table of status codes,
# small enough to stay as it is (the same file makes the table in portula(1)).
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/README.md.gz
  COMMAND ${PORTULA_GZIP} -9nc ${PROJECT_SOURCE_DIR}/README.md > README.md.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
add_custom_target(portula_readme ALL DEPENDS ${CMAKE_BINARY_DIR}/README.md.gz)
install(FILES ${CMAKE_BINARY_DIR}/README.md.gz ${PROJECT_SOURCE_DIR}/docs/man/status-codes.txt
        DESTINATION ${package_docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME portula)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # portula_<version>_<arch>.deb
set(CPACK_PACKAGE_CONTACT ${PORTULA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PORTULA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port test terminal for industrial I/O modules")
file(READ ${PORTULA_PACKAGING_DIR}/description CPACK_PACKAGE_DESCRIPTION)

# Everything installs under /usr but the example port map, which is in /etc: DESTDIR keeps the
# absolute destination inside the package's tree.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PORTULA_PACKAGING_DIR}/conffiles)

# Depends from what the programs and libraries link, not by hand. The private libraries are
# the package's own: dpkg-shlibdeps finds them there and adds nothing for them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${PORTULA_INSTALL_PRIVATE_LIBDIR})

include(CPack)
