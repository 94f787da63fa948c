#pragma once

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
