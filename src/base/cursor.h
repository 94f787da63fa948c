// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/bytes.h"

// Every read of wire bytes goes through this header: the field reads at a
// named offset below, or the cursor that walks a message front to back. A
// read that would leave the buffer yields 0 (or nothing) instead of touching
// memory outside it; decoders check lengths first, so this is a last line of
// defence, not a code path.

inline std::uint8_t load_u8(bytes_t b, std::size_t at) { return at < b.size() ? b[at] : 0; }

inline std::uint16_t load_be16(bytes_t b, std::size_t at) {
  if (b.size() < 2 || at > b.size() - 2) return 0;
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

// A 32-bit field exactly as stored (network order), for addresses kept in
// their stored form.
inline std::uint32_t load_raw32(bytes_t b, std::size_t at) {
  std::uint32_t v = 0;
  if (b.size() >= 4 && at <= b.size() - 4) std::memcpy(&v, b.data() + at, 4);
  return v;
}

// A field of N bytes copied out as stored (an IPv6 address); all zeros when
// it would leave the buffer.
template <std::size_t N>
std::array<std::uint8_t, N> load_array(bytes_t b, std::size_t at) {
  std::array<std::uint8_t, N> v{};
  if (b.size() >= N && at <= b.size() - N) std::memcpy(v.data(), b.data() + at, N);
  return v;
}

inline std::uint32_t load_be32(bytes_t b, std::size_t at) {
  if (b.size() < 4 || at > b.size() - 4) return 0;
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// Walks a message front to back. A read past the end yields 0, consumes
// nothing and leaves the cursor failed, so a caller may read a whole header
// and check `ok()` once.
class wire_cursor {
 public:
  explicit wire_cursor(bytes_t bytes) : rest_(bytes) {}

  bool ok() const { return ok_; }
  std::size_t remaining() const { return rest_.size(); }
  bytes_t rest() const { return rest_; }

  std::uint8_t u8() { return take(1) ? last_[0] : 0; }
  std::uint16_t be16() { return take(2) ? load_be16(last_, 0) : 0; }
  std::uint32_t be32() { return take(4) ? load_be32(last_, 0) : 0; }
  bool skip(std::size_t n) { return take(n); }

  // The next field ended by a NUL, without it; the NUL is consumed too, and
  // the text's data() is NUL-terminated inside the message. Nothing, and the
  // cursor unmoved but not failed, when no NUL is left: a field cut off by
  // the end of the message is the caller's to judge.
  std::optional<std::string_view> cstring() {
    if (rest_.empty()) return std::nullopt;  // and data() may be null
    const void *nul = std::memchr(rest_.data(), 0, rest_.size());
    if (nul == nullptr) return std::nullopt;
    const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t *>(nul) - rest_.data());
    const std::string_view text(reinterpret_cast<const char *>(rest_.data()), length);
    rest_ = rest_.subspan(length + 1);
    return text;
  }

 private:
  bool take(std::size_t n) {
    if (!ok_ || n > rest_.size()) {
      ok_ = false;
      return false;
    }
    last_ = rest_.first(n);
    rest_ = rest_.subspan(n);
    return true;
  }

  bytes_t rest_;
  bytes_t last_;
  bool ok_ = true;
};
