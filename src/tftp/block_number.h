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

// True when a DATA numbered `wire` shows that its sender wrapped from 65535
// to 1: the next block expected past a wrap would carry 0 on the wire, and
// no DATA has been taken as that block yet. A sender that did send 0 wraps
// to 0, and its 1 is the block after (its ACK of 0 may be missing).
inline bool wraps_to_one(std::uint16_t wire, std::uint32_t expected, std::uint32_t skew, std::uint32_t last_block) {
  return expected > 0xffff && static_cast<std::uint16_t>(expected + skew) == 0 && wire == 1 && last_block != expected;
}
