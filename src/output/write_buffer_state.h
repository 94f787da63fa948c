// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

// Where a file's write buffer stands (write_buffer.h). It lives in the
// file's own record, not in front of the bytes: a DATA or an ACK then finds
// it in the cache lines its lookup fetched, and the bytes themselves are
// touched only by a block's copy, which nothing waits for.
struct write_buffer_t {
  std::uint8_t *bytes = nullptr;  // `capacity` bytes; null while there is no buffer
  std::uint64_t start = 0;        // the file offset of bytes[0]
  std::uint32_t used = 0;         // counted bytes, from bytes[0]
  std::uint32_t staged = 0;       // uncounted bytes right after them
  std::uint32_t capacity = 0;
  std::uint32_t peak_staged = 0;  // the most bytes staged at once
  std::uint32_t ring_slot = 0;    // place in the buffers' clock ring
  bool recently_used = false;     // used since the buffers' clock hand last passed

  bool exists() const { return bytes != nullptr; }
  std::uint64_t counted_end() const { return start + used; }
  std::uint64_t end() const { return start + used + staged; }
};
