# Benchmark programs: the capture generator and the floor program that the
# carver is timed against (bench/run-bench.sh runs them).
option(TFTPCARVE_BENCH "Build the benchmark programs" ON)

if(TFTPCARVE_BENCH)
  add_executable(gen_capture bench/gen_capture.cpp)
  target_include_directories(gen_capture PRIVATE bench)

  add_executable(floor bench/floor.cpp)
  target_link_libraries(floor PRIVATE PkgConfig::PCAP)
endif()
