// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "base/cursor.h"
#include "decode/ip6_origin.h"

// `datagram` is the UDP header and payload as the IPv4 layer delimits them;
// `ip_header` is the datagram's IPv4 header, its options included when it has
// any (a reassembled datagram passes a 20-byte copy without them).
void decode_udp(bytes_t datagram, bytes_t ip_header);

// `datagram` is the UDP header and payload as the IPv6 layer delimits them.
// A zero checksum counts as a wrong one: IPv6 makes the checksum mandatory.
void decode_udp6(bytes_t datagram, const ip6_origin &origin);

// The destination address for the pseudo-header, as stored: the final hop of
// a source route when the header carries one.
std::uint32_t final_destination(bytes_t ip_header);
