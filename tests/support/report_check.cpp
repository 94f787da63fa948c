// SPDX-License-Identifier: BSD-2-Clause
#include "report_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef TFTPCARVE_SOURCE_DIR
#error "TFTPCARVE_SOURCE_DIR must name the source tree"
#endif

namespace capture_builder {
namespace {

const char *report_argument(const std::vector<std::string> &args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--report" && i + 1 < args.size()) return args[i + 1].c_str();
    if (args[i].rfind("--report=", 0) == 0) return args[i].c_str() + 9;
  }
  return nullptr;
}

std::string json_lines(const std::string &out) {
  std::istringstream in(out);
  std::string line, kept;
  while (std::getline(in, line))
    if (!line.empty() && line[0] == '{') kept += line + "\n";
  return kept;
}

}  // namespace

std::string report_of_run(const std::vector<std::string> &args, const run_result &result) {
  const char *path = report_argument(args);
  if (path == nullptr) return "";
  if (std::string(path) == "-") return json_lines(result.out);
  // Only a file the run made or changed: a refused run leaves an input
  // named as the report as it was.
  const auto found = result.files.find(path);
  return found == result.files.end() ? "" : as_text(found->second);
}

std::string report_schema_problems(const std::string &report) {
  char path[] = "/tmp/tftpcarve-report.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "cannot write the report for its check";
  const bool written = write(fd, report.data(), report.size()) == static_cast<ssize_t>(report.size());
  close(fd);
  std::string problems = written ? "" : "cannot write the report for its check";
  const std::string command = std::string("python3 " TFTPCARVE_SOURCE_DIR "/tests/support/validate_report.py ") +
                              TFTPCARVE_SOURCE_DIR "/doc/report.schema.json " + path + " 2>&1";
  if (std::FILE *p = popen(command.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) problems.append(buf, n);
    if (pclose(p) != 0 && problems.empty()) problems = "the schema check failed to run";
  }
  std::remove(path);
  return problems;
}

void check_report(const std::vector<std::string> &args, const run_result &result) {
  const std::string report = report_of_run(args, result);
  if (report.empty()) return;
  const std::string problems = report_schema_problems(report);
  if (!problems.empty()) ADD_FAILURE() << "the report does not validate:\n" << problems << "report:\n" << report;
}

}  // namespace capture_builder
