# SPDX-License-Identifier: BSD-2-Clause
# Benchmark programs: the capture generator and the floor program that the
# carver is timed against (bench/run-bench.sh runs them).
option(TFTPCARVE_BENCH "Build the benchmark programs" ON)

if(TFTPCARVE_BENCH)
  add_executable(gen_capture bench/gen_capture.cpp)
  target_include_directories(gen_capture PRIVATE bench)

  add_executable(floor bench/floor.cpp)
  target_link_libraries(floor PRIVATE PkgConfig::PCAP)

  # Decompressing a compressed capture alone, with the library tftpcarve uses.
  add_executable(decompress bench/decompress.cpp)
  target_include_directories(decompress PRIVATE ${ARCHIVE_INCLUDE_DIRS})
  target_link_libraries(decompress PRIVATE ${ARCHIVE_LIBRARIES})

  if(TFTPCARVE_TESTS)
    # Generated captures of every kind the benchmark uses, small, carved and
    # checked file by file; the floor's output checked as well.
    add_test(NAME bench_smoke
             COMMAND ${CMAKE_SOURCE_DIR}/bench/smoke-test.sh $<TARGET_FILE:gen_capture> $<TARGET_FILE:tftpcarve>
                     $<TARGET_FILE:floor> ${CMAKE_BINARY_DIR}/bench-smoke)
  endif()
endif()
