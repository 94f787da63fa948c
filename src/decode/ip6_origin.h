// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstdint>

// Where an IPv6 datagram came from: its addresses as stored, the
// destination its checksum covers (the final one, behind a routing header)
// and the identification that warnings show: the fragment header's, or 0
// without one.
struct ip6_origin {
  std::array<std::uint8_t, 16> src;
  std::array<std::uint8_t, 16> dst;
  std::array<std::uint8_t, 16> pseudo_dst;
  std::uint32_t id;
};
