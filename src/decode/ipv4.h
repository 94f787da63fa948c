// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "base/cursor.h"

// Validates the IPv4 packet behind a link header and hands its UDP datagram
// on, whole or after reassembly. `packet` holds exactly the captured bytes.
void decode_ip(bytes_t packet);

// The Internet checksum over `data`, starting from `initial`. Words are taken
// first byte low-order (a native load on the little-endian hosts this runs
// on), so a non-zero result is the byte-swapped network-order value; 0 means
// data that holds its own checksum is intact.
std::uint16_t ip_checksum(bytes_t data, std::uint32_t initial);

// Field offsets of the fixed IPv4 header.
inline constexpr std::size_t IP_HEADER_MIN = 20;
inline constexpr std::size_t IP_VERSION_IHL = 0;
inline constexpr std::size_t IP_TOTAL_LENGTH = 2;
inline constexpr std::size_t IP_ID = 4;
inline constexpr std::size_t IP_FRAG_WORD = 6;
inline constexpr std::size_t IP_PROTOCOL = 9;
inline constexpr std::size_t IP_SRC = 12;
inline constexpr std::size_t IP_DST = 16;

inline constexpr std::uint8_t IP_PROTOCOL_UDP = 17;
// The fragment word: flags and offset in 8-byte units.
inline constexpr std::uint16_t IP_FRAG_FIELD_MASK = 0x3fff;  // more-fragments flag and offset
inline constexpr std::uint16_t IP_FRAG_OFFSET_MASK = 0x1fff;
inline constexpr std::uint16_t IP_FRAG_MORE = 0x2000;

inline unsigned ip_version(bytes_t header) { return load_u8(header, IP_VERSION_IHL) >> 4; }
inline std::uint32_t ip_header_length(bytes_t header) { return (load_u8(header, IP_VERSION_IHL) & 0x0fu) * 4u; }
