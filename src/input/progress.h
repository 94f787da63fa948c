// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

// The progress line: on a terminal, while a capture file is read, a few
// times a second the share of the file read, frames, transfers, files and
// the reading speed. Never when standard error is not a terminal, so
// scripts see exactly the other lines. For a capture that is not a regular
// file (a pipe, an interface), the line of progress_start_stream instead.
void progress_start(pcap_t *handle);

// On a terminal, a few times a second: frames, transfers open and finished,
// and the bytes carved, for input whose end is not known beforehand.
void progress_start_stream();

// One frame more; cheap unless a redraw is due.
void progress_frame();

// Clears the line at the end of the run.
void progress_stop();

// Frames handed to the handlers so far.
std::uint64_t frames_read();
