// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string>
#include <vector>

// Reads the capture files `paths` ("-": standard input) as one capture: their
// frames merged in the order of their capture times, so that the files of a
// ring simply follow each other and the captures of several interfaces
// interleave as the frames came. Each file keeps its own link type and its
// own compiled filter, and is announced as a single file is when it opens.
//
// A file is opened only when the merge needs its frames, and closed at its
// end: a ring of thousands of files holds one or two open at a time.
//
// Returns 0, or 1 when a file could not be read to its end (the others are
// still read). A file that cannot be opened ends the process with status 2
// before any frame is read.
int run_capture_set(const std::vector<std::string> &paths, const char *filter_text);
