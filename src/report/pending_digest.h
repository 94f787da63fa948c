// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstdint>

// A file's content digest, which may still be being computed on another
// thread. The carved file's hash (output/content_hash.h) is one; the report
// only waits for it and prints it.
class pending_digest {
 public:
  virtual ~pending_digest() = default;
  // The digest, or false when none could be had. Waits for it.
  virtual bool digest(std::array<std::uint8_t, 32> &out) = 0;
  // Whether digest() would not wait.
  virtual bool ready() const = 0;
};
