#pragma once

#include <pcap/pcap.h>

#include <cstdint>

// The progress line: on a terminal, while a capture file is read, a few
// times a second the share of the file read, frames, transfers, files and
// the reading speed. Never when standard error is not a terminal or the
// capture is not a regular file, so scripts see exactly the other lines.
void progress_start(pcap_t *handle);

// One frame more; cheap unless a redraw is due.
void progress_frame();

// Clears the line at the end of the run.
void progress_stop();

// Frames handed to the handlers so far.
std::uint64_t frames_read();
