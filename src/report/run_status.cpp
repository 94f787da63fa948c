#include "report/run_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"

namespace {

unsigned long failures = 0;
bool stdout_failed = false;
int stdout_error = 0;

}  // namespace

void run_count_failure() { ++failures; }

unsigned long run_failures() { return failures; }

bool run_stdout_ok(const char *what) {
  if (stdout_failed) return false;
  if (!std::ferror(stdout)) return true;
  stdout_failed = true;
  stdout_error = errno != 0 ? errno : EIO;
  ++failures;
  log_warning("unable to write %s: %s", what, std::strerror(stdout_error));
  return false;
}

int run_stdout_error() { return stdout_error; }
