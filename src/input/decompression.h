// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdio>

// Decompresses `compressed` (gzip, bzip2, xz, zstd or lz4, whichever it
// is) on a thread of its own, into a pipe, and returns the pipe's read end
// as a stream, or null with errno set. A compressed capture is then read at
// the pace of the slower of the two: decompressing, or reading the plain
// capture.
//
// The thread owns `compressed` from then on and closes it (standard input
// excepted) once the stream ends, fails, or the reader closes its end. A
// stream that cannot be decompressed ends where it fails, so the reader
// sees a truncated capture. On failure `compressed` stays the caller's.
std::FILE *open_decompressed(std::FILE *compressed);
