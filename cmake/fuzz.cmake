# SPDX-License-Identifier: BSD-2-Clause
# libFuzzer targets. They need clang, and a build of the core of their own:
# the core is instrumented for coverage (fuzzer-no-link) and checked by ASan
# and UBSan, and only the targets link the fuzzer's main.
option(TFTPCARVE_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(TFTPCARVE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(WARNING "TFTPCARVE_FUZZ needs clang; the fuzz targets are not built")
  else()
    set(fuzz_compile_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                           -fno-omit-frame-pointer -g)
    set(fuzz_link_flags -fsanitize=fuzzer,address,undefined)

    add_library(tftpcarve_core_fuzz STATIC ${TFTPCARVE_CORE_SOURCES})
    target_include_directories(tftpcarve_core_fuzz PUBLIC src)
    target_link_libraries(tftpcarve_core_fuzz PUBLIC PkgConfig::PCAP OpenSSL::Crypto)
    target_compile_definitions(tftpcarve_core_fuzz PUBLIC TFTPCARVE_VERSION="${PROJECT_VERSION}")
    target_compile_options(tftpcarve_core_fuzz PRIVATE ${fuzz_compile_flags})

    foreach(target IN ITEMS fuzz_frames fuzz_request)
      add_executable(${target} fuzz/${target}.cpp)
      target_compile_options(${target} PRIVATE ${fuzz_compile_flags})
      target_link_options(${target} PRIVATE ${fuzz_link_flags})
      target_link_libraries(${target} PRIVATE tftpcarve_core_fuzz)
    endforeach()
  endif()
endif()

# Turns capture files into inputs of fuzz_frames and back; plain C++, built
# with the fuzz targets.
if(TFTPCARVE_FUZZ)
  add_executable(frames_pcap fuzz/frames_pcap.cpp)
  target_link_libraries(frames_pcap PRIVATE PkgConfig::PCAP)
endif()
