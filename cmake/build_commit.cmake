# SPDX-License-Identifier: BSD-2-Clause
# The git commit the program is built from, for --version: read when CMake
# configures, and only when the source tree is a git work tree of its own (a
# release tarball unpacked inside another repository must not take that
# repository's commit). Without one, --version prints the version alone.
#
# CMake configures again whenever the work tree's HEAD moves (a commit, a
# checkout, a reset), so the commit stays that of the sources being built.
# Only the program's own main file sees it: a new commit recompiles one file.
find_package(Git QUIET)
set(TFTPCARVE_COMMIT "")
if(GIT_FOUND)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel --absolute-git-dir HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE git_answer
    RESULT_VARIABLE git_status
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(git_status EQUAL 0)
    string(REPLACE "\n" ";" git_answer "${git_answer}")
    list(LENGTH git_answer git_lines)
    if(git_lines EQUAL 3)
      list(GET git_answer 0 git_top)
      list(GET git_answer 1 git_dir)
      list(GET git_answer 2 git_head)
      file(REAL_PATH "${git_top}" git_top)
      file(REAL_PATH "${PROJECT_SOURCE_DIR}" source_top)
      if(git_top STREQUAL source_top AND git_head MATCHES "^[0-9a-f]+$")
        set(TFTPCARVE_COMMIT ${git_head})
        foreach(moved IN ITEMS HEAD logs/HEAD)
          if(EXISTS ${git_dir}/${moved})
            set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/${moved})
          endif()
        endforeach()
      endif()
    endif()
  endif()
endif()

if(TFTPCARVE_COMMIT)
  message(STATUS "Building from git commit ${TFTPCARVE_COMMIT}")
  target_compile_definitions(tftpcarve PRIVATE TFTPCARVE_COMMIT="${TFTPCARVE_COMMIT}")
else()
  message(STATUS "Not a git work tree: --version prints the version alone")
endif()
