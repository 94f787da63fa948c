# Installation and the Debian package.
#
#   cmake --install BUILD [--prefix DIR]   bin/tftpcarve, share/man/man1/tftpcarve.1.gz
#   cd BUILD && cpack -G DEB               tftpcarve_VERSION_ARCH.deb
#
# The package's dependencies are read from the binary by dpkg-shlibdeps
# (Debian package dpkg-dev), so the libpcap package comes out as the one the
# binary was linked against.
include(GNUInstallDirs)

install(TARGETS tftpcarve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page is installed compressed, as Debian wants it; -n leaves the
# name and time stamp out of the gzip header, so that builds are repeatable.
set(TFTPCARVE_MAN_SOURCE ${PROJECT_SOURCE_DIR}/doc/tftpcarve.1)
find_program(TFTPCARVE_GZIP gzip)
if(TFTPCARVE_GZIP)
  set(man_copy ${PROJECT_BINARY_DIR}/man/tftpcarve.1)
  add_custom_command(
    OUTPUT ${man_copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${TFTPCARVE_MAN_SOURCE} ${man_copy}
    COMMAND ${TFTPCARVE_GZIP} -9 -n -f ${man_copy}
    DEPENDS ${TFTPCARVE_MAN_SOURCE}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(tftpcarve_man ALL DEPENDS ${man_copy}.gz)
  install(FILES ${man_copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "gzip not found: the manual page is installed uncompressed")
  install(FILES ${TFTPCARVE_MAN_SOURCE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(TFTPCARVE_MAINTAINER "tftpcarve developers <dev@tftpcarve.invalid>"
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
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TFTPCARVE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded with dlopen when a compressed capture comes, so dpkg-shlibdeps
# cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libarchive13")
# The long text, below the summary line; CPack indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "tftpcarve reads a pcap or pcapng capture, from a file or from standard
input, follows every TFTP read and write transfer in it (reassembling IPv4
fragments, following negotiated block sizes and retransmissions) and writes
each transferred file, as it was acknowledged, to a file of its own. It can
also print the exchanges and dump the messages. It reads a capture that is
still being written into a pipe, so files can be recovered live.")

include(CPack)

# The manual page renders without complaint and lists every option.
if(TFTPCARVE_TESTS)
  add_test(NAME man_page
    COMMAND sh ${PROJECT_SOURCE_DIR}/doc/lint-man.sh ${TFTPCARVE_MAN_SOURCE} $<TARGET_FILE:tftpcarve>)
  set_tests_properties(man_page PROPERTIES SKIP_RETURN_CODE 77)
endif()
