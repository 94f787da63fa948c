// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// The run's status: the outputs that could not be written (files,
// standard output, the trace, the report). Any of them makes the run end
// with its own status.

// Counts an output that could not be written.
void run_count_failure();

// Outputs that could not be written in this run.
unsigned long run_failures();

// Checks standard output after a write to it; on its first failure, a
// warning naming `what` and the failure counted; a reader that went away
// is told as the error "unable to write standard output: Broken pipe".
// False once it failed.
bool run_stdout_ok(const char *what);

// The reader of standard output went away (standard_output.h): the run is
// to end. Told and counted here when no check found it first.
bool run_stdout_closed();

// The errno of standard output's first failure, 0 while it has none.
int run_stdout_error();
