# SPDX-License-Identifier: BSD-2-Clause
# Installation and the Debian package.
#
#   cmake --install BUILD [--prefix DIR]   bin/tftpcarve, share/man/man1/tftpcarve.1.gz,
#                                          share/bash-completion/completions/tftpcarve,
#                                          share/doc/tftpcarve/{copyright,changelog.gz,changelog.Debian.gz}
#   cd BUILD && cpack -G DEB               tftpcarve_VERSION-RELEASE_ARCH.deb
#
# The package's dependencies are read from the binary by dpkg-shlibdeps
# (Debian package dpkg-dev), so the libpcap package comes out as the one the
# binary was linked against. scripts/package-test.sh builds it, checks it
# with lintian, installs it, runs it and removes it.
include(GNUInstallDirs)

install(TARGETS tftpcarve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The JSON Schema of the report's lines, beside the other documents.
install(FILES ${PROJECT_SOURCE_DIR}/doc/report.schema.json DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian wants the manual page and the changelogs compressed; -n leaves the
# name and time stamp out of the gzip header, so that builds are repeatable.
# Without gzip they are installed as they are.
find_program(TFTPCARVE_GZIP gzip)
if(NOT TFTPCARVE_GZIP)
  message(STATUS "gzip not found: the manual page and changelogs are installed uncompressed")
endif()

# Installs SOURCE as DESTINATION/NAME.gz, compressed at build time.
function(tftpcarve_install_gzipped source name destination)
  if(NOT TFTPCARVE_GZIP)
    install(FILES ${source} DESTINATION ${destination} RENAME ${name})
    return()
  endif()
  set(copy ${PROJECT_BINARY_DIR}/gz/${name})
  add_custom_command(
    OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${TFTPCARVE_GZIP} -9 -n -f ${copy}
    DEPENDS ${source}
    COMMENT "Compressing ${name}"
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY TFTPCARVE_GZIPPED ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()

set(TFTPCARVE_MAN_SOURCE ${PROJECT_SOURCE_DIR}/doc/tftpcarve.1)
set(TFTPCARVE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/tftpcarve)
tftpcarve_install_gzipped(${TFTPCARVE_MAN_SOURCE} tftpcarve.1 ${CMAKE_INSTALL_MANDIR}/man1)
# The project's changelog is the upstream one; the package's own says what
# changed in the packaging.
tftpcarve_install_gzipped(${PROJECT_SOURCE_DIR}/CHANGELOG.md changelog ${TFTPCARVE_DOCDIR})
tftpcarve_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/debian/changelog changelog.Debian ${TFTPCARVE_DOCDIR})
get_property(gzipped GLOBAL PROPERTY TFTPCARVE_GZIPPED)
# The target keeps its old name: scripts build it before packaging.
add_custom_target(tftpcarve_man ALL DEPENDS ${gzipped})

install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${TFTPCARVE_DOCDIR})
# Where bash-completion looks for a command's completion when it is first
# completed.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/tftpcarve
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(TFTPCARVE_MAINTAINER "The tftpcarve developers <dev@tftpcarve.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tftpcarve)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TFTPCARVE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "reconstruct the files of TFTP transfers from a packet capture")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The package's revision: the version is VERSION-RELEASE, as for a package
# made from an upstream release, and it matches the first entry of
# packaging/debian/changelog (the package test checks).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TFTPCARVE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded with dlopen when a compressed capture comes, so dpkg-shlibdeps
# cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libarchive13")
# Whatever the builder's umask: the control archive's files get the modes
# dpkg expects, the directories 0755 (the install rules give files 0644 and
# the program 0755). The staging script also strips the program as Debian
# does.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_TFTPCARVE_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/staging.cmake)
# The long text, below the summary line; CPack indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "tftpcarve reads pcap or pcapng captures, from files, from standard input or
live from a network interface, follows every TFTP read and write transfer in
them (reassembling IP fragments, following negotiated block sizes, windows
and retransmissions) and writes each transferred file, as far as it was
acknowledged, to a file of its own. Several captures, such as the files of a
capture ring, are read as one, and compressed captures are read directly.
.
A JSON Lines report gives a verdict for every transfer: complete or not,
the byte ranges missing, and the SHA-256 of the file written. It can also
trace the exchanges and dump the messages.")

include(CPack)

# The manual page renders without complaint and lists every option.
if(TFTPCARVE_TESTS)
  add_test(NAME man_page
    COMMAND sh ${PROJECT_SOURCE_DIR}/doc/lint-man.sh ${TFTPCARVE_MAN_SOURCE} $<TARGET_FILE:tftpcarve>)
  set_tests_properties(man_page PROPERTIES SKIP_RETURN_CODE 77)
endif()
