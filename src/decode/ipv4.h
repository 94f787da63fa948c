#pragma once

#include <cstdint>

#include "decode/wire.h"

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
inline constexpr std::size_t IP_ID = 4;
inline constexpr std::size_t IP_SRC = 12;
inline constexpr std::size_t IP_DST = 16;

// An address as stored (network order) in dotted form, or "?" when it
// cannot be converted.
struct dotted_t {
  char text[16];
};
dotted_t dotted(std::uint32_t stored);

inline std::uint32_t ip_header_length(bytes_t header) { return (load_u8(header, 0) & 0x0fu) * 4u; }
