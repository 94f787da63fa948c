#include "run/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

void (*fatal_exit_hook)() = nullptr;

void write_line(const char *prefix, const char *format, va_list args) {
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
