#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

// Every read of a wire field goes through these accessors. A read that would
// leave the buffer yields 0 instead of touching memory outside it; callers
// check lengths first, so this is a last line of defence, not a code path.
using bytes_t = std::span<const std::uint8_t>;

inline std::uint8_t load_u8(bytes_t b, std::size_t at) { return at < b.size() ? b[at] : 0; }

inline std::uint16_t load_be16(bytes_t b, std::size_t at) {
  if (b.size() < 2 || at > b.size() - 2) return 0;
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

// A 32-bit field exactly as stored (network order), for addresses that are
// compared or printed with inet_ntop in their stored form.
inline std::uint32_t load_raw32(bytes_t b, std::size_t at) {
  std::uint32_t v = 0;
  if (b.size() >= 4 && at <= b.size() - 4) std::memcpy(&v, b.data() + at, 4);
  return v;
}

inline std::uint32_t load_be32(bytes_t b, std::size_t at) {
  if (b.size() < 4 || at > b.size() - 4) return 0;
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// The sub-range [at, at + n) clipped to the buffer.
inline bytes_t sub_bytes(bytes_t b, std::size_t at, std::size_t n) {
  if (at > b.size()) return {};
  return b.subspan(at, n < b.size() - at ? n : b.size() - at);
}
