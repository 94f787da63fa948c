#pragma once

#include <cstddef>
#include <cstdint>

// An IP address as the transfer tables compare it and the texts print it.
// The tables and the output only use this interface (equality, a hash, the
// broadcast test and the text forms), so a wider address family changes
// this type and the decoders, nothing else.
class ip_address {
 public:
  constexpr ip_address() = default;

  // From a host-order number (192.168.1.2 is 0xc0a80102).
  static constexpr ip_address from_v4(std::uint32_t host_order) { return ip_address(host_order); }
  // From the four bytes as an IPv4 header stores them.
  static ip_address from_stored_v4(std::uint32_t stored) { return ip_address(__builtin_bswap32(stored)); }
  // 255.255.255.255, the only address treated as a broadcast.
  static constexpr ip_address limited_broadcast() { return ip_address(0xFFFFFFFFu); }

  constexpr bool operator==(const ip_address &) const = default;

  bool is_limited_broadcast() const { return v4_ == 0xFFFFFFFFu; }
  // Host order, for the texts of this file.
  std::uint32_t v4_host_order() const { return v4_; }
  // Bits to mix into a hash key.
  std::uint64_t hash_bits() const { return v4_; }

 private:
  constexpr explicit ip_address(std::uint32_t host_order) : v4_(host_order) {}
  std::uint32_t v4_ = 0;
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
};

// Text forms. Each fits its buffer whatever the address.
struct address_text {
  char text[48];
};

// As the trace and the warnings print it: "10.0.0.1".
address_text to_text(const ip_address &a);
// As the debug lines print it: the host-order number in hexadecimal,
// "a000001".
address_text debug_text(const ip_address &a);
// As output names carry it, fixed width so that names sort: "010.000.000.001".
address_text name_text(const ip_address &a);
