// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// base/: the words every layer shares: byte views and the cursor that reads
// fields from them, addresses, the capture's clock, TFTP message fields, the
// log and the option settings. It includes nothing from the other folders
// and never touches a capture, a transfer or a file.

#include <cstddef>
#include <cstdint>
#include <span>

// A view of bytes that someone else owns: a frame, a datagram, a block.
using bytes_t = std::span<const std::uint8_t>;

// A byte range [start, end) of a file.
struct byte_range_t {
  std::uint64_t start;
  std::uint64_t end;
};

// The sub-range [at, at + n) clipped to the buffer.
inline bytes_t sub_bytes(bytes_t b, std::size_t at, std::size_t n) {
  if (at > b.size()) return {};
  return b.subspan(at, n < b.size() - at ? n : b.size() - at);
}
