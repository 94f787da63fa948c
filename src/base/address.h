// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// An IP address as the transfer tables compare it and the texts print it.
// The tables and the output only use this interface (equality, a hash, the
// broadcast test and the text forms), so a wider address family changes
// this type and the decoders, nothing else.
//
// It is one 64-bit value, so that equality and hashing stay a single compare
// and a transfer record keeps both of its addresses in its first cache line:
//   - an IPv4 address is itself, in host order, the upper half zero;
//   - an IPv6 address is a tag bit and the number under which its 16 bytes
//     were entered in a table of the IPv6 addresses seen (address.cpp). The
//     table only grows, with the distinct addresses of the capture, so a
//     number always stands for the same address.
// The value is kept as two 32-bit halves: an alignment of 4 lets the
// record's block state follow its addresses without a gap.
class ip_address {
 public:
  using v6_bytes_t = std::array<std::uint8_t, 16>;

  constexpr ip_address() = default;

  // From a host-order number (192.168.1.2 is 0xc0a80102).
  static constexpr ip_address from_v4(std::uint32_t host_order) { return ip_address(host_order, 0); }
  // From the four bytes as an IPv4 header stores them.
  static ip_address from_stored_v4(std::uint32_t stored) { return ip_address(__builtin_bswap32(stored), 0); }
  // From the 16 bytes as an IPv6 header stores them. Enters the address in
  // the table on first sight; throws std::bad_alloc when the table cannot
  // grow.
  static ip_address from_v6(const std::uint8_t *stored);
  // 255.255.255.255, the only address treated as a broadcast.
  static constexpr ip_address limited_broadcast() { return ip_address(0xFFFFFFFFu, 0); }

  // One compare of the whole value.
  constexpr bool operator==(const ip_address &other) const { return hash_bits() == other.hash_bits(); }

  bool is_limited_broadcast() const { return low_ == 0xFFFFFFFFu && high_ == 0; }
  bool is_v6() const { return (high_ & V6_TAG) != 0; }
  // Host order, for the texts of an IPv4 address.
  std::uint32_t v4_host_order() const { return low_; }
  // The stored bytes of an IPv6 address.
  const v6_bytes_t &v6_bytes() const;
  // Bits to mix into a hash key, one number per address (so they may stand
  // for it in a key): an IPv4 address's own 32 bits.
  constexpr std::uint64_t hash_bits() const { return static_cast<std::uint64_t>(high_) << 32 | low_; }

 private:
  static constexpr std::uint32_t V6_TAG = 0x80000000u;
  constexpr ip_address(std::uint32_t low, std::uint32_t high) : low_(low), high_(high) {}
  std::uint32_t low_ = 0;
  std::uint32_t high_ = 0;
};

// One end of a datagram or of a transfer.
struct endpoint_t {
  ip_address addr;
  std::uint16_t port = 0;
  bool operator==(const endpoint_t &) const = default;
};

// The ends of one datagram.
struct datagram_ends {
  ip_address src, dst;
  std::uint16_t sport = 0, dport = 0;
  bool operator==(const datagram_ends &) const = default;
};

// Text forms. Each fits its buffer whatever the address.
struct address_text {
  char text[48];
};

// Writes `value` in decimal, zero-padded to `width` digits (more when it
// needs more), as "%0*u" would; returns the end. No NUL is written.
inline char *write_decimal(char *out, unsigned value, int width) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int pad = width - n; pad > 0; --pad) *out++ = '0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// As the trace and the warnings print it: "10.0.0.1", "fd00::1".
address_text to_text(const ip_address &a);
// As the debug lines print it: the host-order number in hexadecimal,
// "a000001"; an IPv6 address as the trace prints it.
address_text debug_text(const ip_address &a);
// As output names carry it, fixed width so that names sort: "010.000.000.001",
// and for IPv6 the eight groups of four lower-case hexadecimal digits joined
// by ".", "fd00.0000.0000.0000.0000.0000.0000.0001".
address_text name_text(const ip_address &a);
