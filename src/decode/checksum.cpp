// SPDX-License-Identifier: BSD-2-Clause
#include <cstring>

#include "decode/ipv4.h"

std::uint16_t ip_checksum(bytes_t data, std::uint32_t initial) {
  // One's complement addition does not care how the words are grouped: a
  // 32-bit little-endian load is congruent, modulo 0xffff, to the sum of its
  // two 16-bit halves, and the sum is zero only when every word is. Summing
  // four bytes at a time therefore folds to exactly the 16-bit result.
  std::uint64_t sum = initial;
  const std::uint8_t *p = data.data();
  std::size_t n = data.size();
  while (n >= 4) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    sum += word;
    p += 4;
    n -= 4;
  }
  if (n >= 2) {
    sum += static_cast<std::uint32_t>(p[0] | p[1] << 8);
    p += 2;
    n -= 2;
  }
  if (n == 1) sum += p[0];
  while (sum > 0xffff) sum = (sum >> 16) + (sum & 0xffff);
  return static_cast<std::uint16_t>(~sum);
}
