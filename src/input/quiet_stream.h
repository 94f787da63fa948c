// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdio>

// A capture arriving through a pipe, a socket or a terminal may stop
// coming for hours while transfers wait to be ended by silence. Read
// through this stream, such input never blocks for longer than
// QUIET_WAKE_MS at a time: between waits `on_quiet` is called, from the
// reading thread, so that silence can be counted.

inline constexpr int QUIET_WAKE_MS = 500;

// A stream reading `source` (whose own buffer must hold nothing yet) that
// calls `on_quiet` whenever a wait for input times out, when the thread
// that opened it is the one reading (a decompressing thread that reads it
// only waits). A read interrupted by a signal fails with EINTR, as a read
// of the pipe itself would. The new stream owns `source` and closes it,
// standard input excepted. At most two are open at once (a capture and the
// pipe its decompression fills). Null with errno set on failure, `source`
// then still the caller's.
std::FILE *open_quiet_stream(std::FILE *source, void (*on_quiet)());
