// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

// What the summary points to as a likely cause, counted where each thing is
// seen: a counter each, so that counting costs nothing on the way of a frame.

enum class hint {
  ipv6_skipped,       // an IPv6 packet, read only with -6
  orphan_datagram,    // DATA or ACK of no known transfer
  cut_frame,          // a frame cut by the capture's snap length
  file_existed,       // an output file already there, left alone
  kernel_drop,        // frames the kernel dropped before a live run read them
};
inline constexpr int HINT_KINDS = 5;

void hint_count(hint kind, std::uint64_t n = 1);

// Prints each counted hint, one line each, to standard error.
void hints_print();
