// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "base/options.h"

// The diagnostic log: one line per call on standard error.
void log_warning(const char *format, ...) __attribute__((format(printf, 1, 2)));

// With a non-zero status the process ends with it, after the fatal-exit
// hook has run; with 0 the call returns.
void log_error(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));

// What a fatal exit must still do (leave no uncounted bytes in files). The
// hook runs once; a fatal report from inside it ends the process at once.
void set_fatal_exit_hook(void (*hook)());

// A status line on standard error (a terminal), redrawn in place; every
// other line written to standard error or to a terminal on standard output
// clears it first.
void log_status(const char *line);
void log_status_clear();

// Warnings written so far (the report's summary counts them).
unsigned long long warnings_logged();

void log_debug_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

inline bool debug_enabled(int level) { return level <= debug_level; }

// A macro so that the arguments of a line that is not printed are never
// evaluated: several of them are formatted addresses.
#define log_debug(level, ...)                                                  \
  do {                                                                         \
    if (debug_enabled(level)) log_debug_line(__VA_ARGS__);                     \
  } while (0)
