// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Standard output carries the trace, the dump, the blocks printed with -c
// and the report of --report -. Its writes (and those of standard error)
// are retried when a signal interrupts them, and SIGPIPE is ignored: a
// reader that went away (EPIPE) is an error the run tells and ends on, as
// a stop signal ends it, so that the files in progress keep what counted
// (report/run_status.h tells it; the capture loop stops on it).

// Puts standard output and standard error behind streams whose writes are
// retried after EINTR, with the buffering they had. Called before anything
// is written to them.
void standard_streams_retry_writes();

// errno of the first write to standard output that failed, 0 if none did.
int stdout_write_error();

// The reader of standard output went away.
bool stdout_closed();
