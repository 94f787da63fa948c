// SPDX-License-Identifier: BSD-2-Clause
#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

void (*fatal_exit_hook)() = nullptr;
unsigned long long warning_count = 0;

bool status_shown = false;

void write_line(const char *prefix, const char *format, va_list args) {
  log_status_clear();
  // Three pieces, no explicit flush: standard error is unbuffered.
  std::fputs(prefix, stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

}  // namespace

void log_debug_line(const char *format, ...) {
  va_list args;
  va_start(args, format);
  write_line("[debug] ", format, args);
  va_end(args);
}

void log_warning(const char *format, ...) {
  va_list args;
  va_start(args, format);
  write_line("[warning] ", format, args);
  va_end(args);
  ++warning_count;
}

unsigned long long warnings_logged() { return warning_count; }

void log_status(const char *line) {
  std::fprintf(stderr, "\r%s\033[K", line);
  status_shown = true;
}

void log_status_clear() {
  if (!status_shown) return;
  std::fflush(stdout);
  std::fputs("\r\033[K", stderr);
  status_shown = false;
}

void log_error(int status, const char *format, ...) {
  va_list args;
  va_start(args, format);
  write_line("[error] ", format, args);
  va_end(args);
  if (status == 0) return;
  if (void (*hook)() = fatal_exit_hook) {
    fatal_exit_hook = nullptr;
    hook();
  }
  std::exit(status);
}

void set_fatal_exit_hook(void (*hook)()) { fatal_exit_hook = hook; }
