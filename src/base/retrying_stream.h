#pragma once

#include <cstdio>

// A stdio stream for writing to a descriptor whose writes go on after a
// signal interrupts them. The stop signals are caught without SA_RESTART
// (so that a read of the capture from a pipe returns at once), and stdio
// gives up on a write that returns EINTR, dropping what its buffer held: a
// trace or report line lost to a slow reader. This stream's writes are
// retried instead, until written or failed for another reason; that
// failure's errno is kept in `*error` (which must outlive the stream), the
// first one only.
//
// Closing the stream closes `fd` only when `owns_fd`. Null with errno set
// when the stream cannot be made.
std::FILE *retrying_stream(int fd, bool owns_fd, int *error);
