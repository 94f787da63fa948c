// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

// The capture time of the frame being handled, in microseconds since the
// epoch: every layer may stamp what it does with it, and the run sets it
// before each frame. One thread, one frame at a time.
extern std::int64_t capture_now_us;

// The latest capture time seen so far: what "a long time ago" is measured
// from, since a capture's times may step back.
extern std::int64_t capture_latest_us;

// RFC 3339 with microseconds, in UTC: "2026-12-10T15:02:52.123456Z".
struct time_text {
  char text[80];
};
time_text rfc3339(std::int64_t microseconds);
