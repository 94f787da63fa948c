// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Runs the built tftpcarve binary as a user would, in a fresh temporary
// working directory, and collects everything it leaves behind:
//
//   run_setup setup;
//   setup.files["in.pcap"] = cap.file();
//   const run_result r = run_tool({"-r", "in.pcap", "-v"}, setup);
//   EXPECT_EQ(r.status, 0);
//   EXPECT_EQ(r.out, "READ  10.0.0.1:1025 > 10.0.0.2:69 \"f\" octet\n");
//   EXPECT_EQ(r.files.at("010.000.000.001.01025-...-f"), expected_bytes);

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace capture_builder {

struct run_setup {
  // Files placed in the working directory before the run (name -> bytes).
  std::map<std::string, std::vector<std::uint8_t>> files;
  // Empty subdirectories placed there before the run.
  std::vector<std::string> dirs;
  // Symbolic links placed there before the run (name -> target, as given).
  std::map<std::string, std::string> symlinks;
  // Bytes fed on standard input; without them standard input is empty.
  std::optional<std::vector<std::uint8_t>> stdin_bytes;
  // argv[0] as the program sees it (the usage text prints it).
  std::string argv0 = "tftpcarve";
  // The run is killed after this many seconds (status then -1).
  int timeout_seconds = 60;
  // When set, the run's soft and hard limits on open files (RLIMIT_NOFILE).
  std::optional<unsigned long> open_files_limit;
  // When set, the run's limit on its address space in bytes (RLIMIT_AS), so
  // that allocations fail once it is used up.
  std::optional<unsigned long> address_space_limit;
};

struct run_result {
  int status = -1;  // the exit status, or -1 when killed by a signal
  std::string out;  // standard output
  std::string err;  // standard error
  // Regular files that the run created or changed in its working directory,
  // name -> content. A file placed by the setup and left as it was is not
  // listed; `all_files` lists every regular file.
  std::map<std::string, std::vector<std::uint8_t>> files;
  std::map<std::string, std::vector<std::uint8_t>> all_files;
  // Permission bits of every regular file left in the directory.
  std::map<std::string, unsigned> modes;
  // Symbolic links left in the directory (name -> target); never followed.
  std::map<std::string, std::string> symlinks;
};

// Path of the binary under test, fixed at build time.
const char *tool_path();

run_result run_tool(const std::vector<std::string> &args, const run_setup &setup = {});

// Content of a file as text, for comparisons that read better as strings.
std::string as_text(const std::vector<std::uint8_t> &bytes);

}  // namespace capture_builder
