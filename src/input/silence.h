// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Live input may bring no frame for hours, and a transfer that an ERROR
// ended must still end a few seconds later. While the input is quiet,
// capture time is taken to run on with the wall clock from the moment it
// fell quiet (at most QUIET_WAKE_MS after its last frame, quiet_stream.h):
// what silence ends, ends, and what counted is written out.
//
// Called between waits for input, never while a frame is handled.
void count_silence();
