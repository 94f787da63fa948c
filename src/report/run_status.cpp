// SPDX-License-Identifier: BSD-2-Clause
#include "report/run_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/standard_output.h"

namespace {

unsigned long failures = 0;
bool stdout_failed = false;
int stdout_error = 0;

}  // namespace

void run_count_failure() { ++failures; }

unsigned long run_failures() { return failures; }

namespace {

void tell_stdout_failure(const char *what, int error) {
  stdout_failed = true;
  stdout_error = error;
  ++failures;
  if (error == EPIPE) log_error(0, "unable to write standard output: %s", std::strerror(error));
  else log_warning("unable to write %s: %s", what, std::strerror(error));
}

}  // namespace

bool run_stdout_ok(const char *what) {
  if (stdout_failed) return false;
  if (!std::ferror(stdout)) return true;
  const int error = stdout_write_error();
  tell_stdout_failure(what, error != 0 ? error : errno != 0 ? errno : EIO);
  return false;
}

bool run_stdout_closed() {
  if (!stdout_closed()) return false;
  if (!stdout_failed) tell_stdout_failure("standard output", EPIPE);
  return true;
}

int run_stdout_error() { return stdout_error; }
