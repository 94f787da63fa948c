// SPDX-License-Identifier: BSD-2-Clause
#include "input/silence.h"

#include <cstdint>
#include <ctime>

#include "base/capture_clock.h"
#include "output/write_buffer.h"
#include "tftp/endings.h"

namespace {

std::int64_t wall_clock_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The capture time of the last frame before the quiet, and the wall clock
// when the quiet was first seen.
struct quiet_anchor {
  std::int64_t capture_us = 0;
  std::int64_t wall_us = 0;
} anchor;

}  // namespace

void count_silence() {
  if (capture_latest_us == 0) return;  // no frame yet: nothing to age
  const std::int64_t wall = wall_clock_us();
  if (capture_latest_us != anchor.capture_us) {
    anchor = {capture_latest_us, wall};
    return;
  }
  expire_transfers(anchor.capture_us + (wall - anchor.wall_us));
  output_flush_latest();
}
