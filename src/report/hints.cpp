// SPDX-License-Identifier: BSD-2-Clause
#include "report/hints.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::uint64_t totals[HINT_KINDS];

// What each count likely means, and what to do about it. Each format takes
// the count.
constexpr const char *HINT_TEXTS[HINT_KINDS] = {
    "hint: %" PRIu64 " IPv6 frames skipped: give -6 to read TFTP over IPv6",
    "hint: %" PRIu64 " DATA or ACK datagrams of no known transfer: the capture may have started mid-transfer",
    "hint: %" PRIu64 " frames cut by the capture's snap length: capture them whole (tcpdump -s 0)",
    "hint: %" PRIu64 " output files already existed and were left alone: give -f to overwrite, or -o another folder",
    "hint: %" PRIu64 " frames dropped by the kernel: the capture fell behind, so transfers may miss blocks",
};

}  // namespace

void hint_count(hint kind, std::uint64_t n) { totals[static_cast<int>(kind)] += n; }

void hints_print() {
  for (int k = 0; k < HINT_KINDS; ++k)
    if (totals[k] > 0) {
      std::fprintf(stderr, HINT_TEXTS[k], totals[k]);
      std::fputc('\n', stderr);
    }
}
