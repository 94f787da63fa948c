// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

// Block numbers are 16 bits on the wire, but transfers of more than 65535
// blocks are common (boot and firmware images): after block 65535 the sender
// goes on with 0, or with 1 on some implementations. A transfer counts its
// blocks on in 32 bits: a wire number is read as the count nearest to the
// next block expected, and the counting is unchanged while that stays below
// 32768, so short transfers see exactly the wire numbers.
//
// `skew` is the number of times the sender skipped 0 when it wrapped:
// a wire number n stands for a count c with c + skew == n (mod 65536).

inline std::uint32_t block_from_wire(std::uint16_t wire, std::uint32_t expected, std::uint32_t skew) {
  const auto expected_wire = static_cast<std::uint16_t>(expected + skew);
  const auto diff = static_cast<std::int16_t>(static_cast<std::uint16_t>(wire - expected_wire));
  const std::int64_t count = static_cast<std::int64_t>(expected) + diff;
  return count < 0 ? wire : static_cast<std::uint32_t>(count);
}

// With a window, a sender may send up to `windowsize` blocks past the last
// one acknowledged, and RFC 7440 allows 65535: past 32768 the block nearest
// the expected one is no longer the right reading. A windowed transfer
// reads a wire number as the count at most `windowsize` - 1 blocks past the
// next one expected, and up to the rest of the 65536 before it; for windows
// up to 32768 that is the nearest count, as above.
inline std::uint32_t block_in_window(std::uint16_t wire, std::uint32_t expected, std::uint32_t skew,
                                     std::uint16_t windowsize) {
  const std::int64_t reach = windowsize > 32768 ? windowsize - 1 : 32767;
  const auto expected_wire = static_cast<std::uint16_t>(expected + skew);
  std::int64_t ahead = static_cast<std::uint16_t>(wire - expected_wire);
  if (ahead > reach) ahead -= 65536;
  const std::int64_t count = static_cast<std::int64_t>(expected) + ahead;
  return count < 0 ? wire : static_cast<std::uint32_t>(count);
}

// Whether a block read as `block`, past the acknowledged ones, may as well
// be the block 65536 before it sent again. A sender that sent `newest` had
// every block up to `newest` - `windowsize` acknowledged, and never sends
// one of those again; any later block it may resend while it waits for an
// acknowledgement the capture showed but it never got. Only windows over
// 32768 leave such a doubt, and a block in doubt is never placed: it counts
// as missing.
inline bool may_be_older(std::uint32_t block, std::uint32_t newest, std::uint16_t windowsize) {
  if (block <= 65536) return false;
  return static_cast<std::uint64_t>(block - 65536) + windowsize > newest;
}

// True when a DATA numbered `wire` shows that its sender wrapped from 65535
// to 1: the next block expected past a wrap would carry 0 on the wire, and
// no DATA has been taken as that block yet. A sender that did send 0 wraps
// to 0, and its 1 is the block after (its ACK of 0 may be missing).
inline bool wraps_to_one(std::uint16_t wire, std::uint32_t expected, std::uint32_t skew, std::uint32_t last_block) {
  return expected > 0xffff && static_cast<std::uint16_t>(expected + skew) == 0 && wire == 1 && last_block != expected;
}
