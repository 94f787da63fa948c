// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <random>

#include "capture_builder.h"
#include "decode/ipv4.h"

namespace {

using capture_builder::bytes;
using capture_builder::hex;

std::uint16_t sum_of(const bytes &b, std::uint32_t initial = 0) { return ip_checksum(bytes_t{b}, initial); }

TEST(IpChecksum, ExampleHeaderGivesByteSwappedValue) {
  // Words are taken first byte low-order, so the network-order 66ce reads
  // as ce66.
  EXPECT_EQ(sum_of(hex("45 00 00 1c 00 01 00 00 40 11 00 00 0a 00 00 01 0a 00 00 02")), 0xce66);
}

TEST(IpChecksum, IntactHeaderGivesZero) {
  EXPECT_EQ(sum_of(hex("45 00 00 1c 00 01 00 00 40 11 66 ce 0a 00 00 01 0a 00 00 02")), 0);
}

TEST(IpChecksum, EmptyRange) {
  EXPECT_EQ(sum_of({}), 0xffff);
  EXPECT_EQ(sum_of({}, 0x1234), 0xedcb);
}

TEST(IpChecksum, OddLengthAddsLastByteAsLowOrder) {
  EXPECT_EQ(sum_of(hex("01")), 0xfffe);
  // 0x3412 + 0x0056
  EXPECT_EQ(sum_of(hex("12 34 56")), 0xcb97);
  // The byte past the range is not read: the same three bytes inside a
  // longer buffer sum alike.
  const bytes longer = hex("12 34 56 78");
  EXPECT_EQ(ip_checksum(bytes_t{longer}.first(3), 0), 0xcb97);
}

TEST(IpChecksum, CarriesFoldUntilSixteenBits) {
  EXPECT_EQ(sum_of(hex("ff ff ff ff")), 0);
  // 0x1ffff folds to 0x10000, which folds again to 1.
  EXPECT_EQ(sum_of({}, 0x1ffff), 0xfffe);
  // A full-size datagram cannot overflow the accumulator.
  EXPECT_EQ(sum_of(bytes(65535, 0xff)), 0xff00);
}

// The sum word by word, as the definition has it: the loop, which the
// compiler vectorises, must agree at every length and alignment, however
// its tail is taken.
TEST(IpChecksum, AgreesWithTheWordByWordSumAtEveryLength) {
  std::mt19937 rng(7);
  bytes data(300);
  for (auto &b : data) b = static_cast<std::uint8_t>(rng());
  for (std::size_t start = 0; start < 4; ++start) {
    for (std::size_t n = 0; n + start <= data.size(); ++n) {
      std::uint64_t sum = 0x2345;
      for (std::size_t i = 0; i + 1 < n; i += 2) sum += data[start + i] | data[start + i + 1] << 8;
      if (n % 2 == 1) sum += data[start + n - 1];
      while (sum > 0xffff) sum = (sum >> 16) + (sum & 0xffff);
      ASSERT_EQ(ip_checksum(bytes_t{data}.subspan(start, n), 0x2345), static_cast<std::uint16_t>(~sum))
          << "start " << start << ", length " << n;
    }
  }
}

}  // namespace
