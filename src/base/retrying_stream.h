// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdio>

// A stdio stream for writing to a descriptor whose writes go on after a
// signal interrupts them. The stop signals are caught without SA_RESTART
// (so that a read of the capture from a pipe returns at once), and stdio
// gives up on a write that returns EINTR, dropping what its buffer held: a
// trace or report line lost to a slow reader. This stream's writes are
// retried instead, until written or failed for another reason.

// Where a stream writes, and the errno of its first failed write (0 while
// none failed). It must outlive the stream; closing the stream closes `fd`
// only when `owns_fd`.
struct retrying_target {
  int fd = -1;
  bool owns_fd = false;
  int error = 0;
};

// Null with errno set when the stream cannot be made.
std::FILE *retrying_stream(retrying_target &target);
