// SPDX-License-Identifier: BSD-2-Clause
#include "base/capture_clock.h"

#include <cstdio>
#include <ctime>

std::int64_t capture_now_us = 0;
std::int64_t capture_latest_us = 0;

time_text rfc3339(std::int64_t us) {
  time_text t;
  std::int64_t seconds = us / 1000000;
  std::int64_t micros = us % 1000000;
  if (micros < 0) micros += 1000000, --seconds;
  const auto when = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&when, &parts) == nullptr) parts = std::tm{};
  std::snprintf(t.text, sizeof t.text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(micros));
  return t;
}
