# SPDX-License-Identifier: BSD-2-Clause
# Run by CPack on its staging tree, before it makes the package, to finish
# the tree as Debian's own packaging helpers would.
#
# Every directory gets mode 0755. CPack creates them with the builder's umask
# (CMake 3.25 leaves CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS and
# CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS unused there), and a package
# built under umask 077 would install directories that only root can read.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(path IN LISTS staged)
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

# The program loses the compilers' identification notes too, which CPack's
# plain strip keeps; nothing reads them at run time.
if(CPACK_STRIP_FILES AND CPACK_TFTPCARVE_STRIP)
  file(GLOB programs "${CPACK_TEMPORARY_DIRECTORY}/usr/bin/*")
  foreach(program IN LISTS programs)
    execute_process(
      COMMAND ${CPACK_TFTPCARVE_STRIP} --remove-section=.comment --remove-section=.note ${program}
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "unable to strip ${program}")
    endif()
  endforeach()
endif()
