// SPDX-License-Identifier: BSD-2-Clause
// Compressed captures are told by their first bytes: every compression by
// its magic, and no capture format (nor a stream too short to tell) taken
// for one.

#include <gtest/gtest.h>

#include <vector>

#include "input/compression.h"

namespace {

struct magic_case {
  const char *name;
  std::vector<std::uint8_t> prefix;
  compression expected;
};

TEST(Compression, ToldByTheFirstBytes) {
  const std::vector<magic_case> cases = {
      {"gzip", {0x1f, 0x8b, 0x08, 0x00}, compression::gzip},
      {"bzip2", {'B', 'Z', 'h', '9'}, compression::bzip2},
      {"xz", {0xfd, '7', 'z', 'X'}, compression::xz},
      {"zstd", {0x28, 0xb5, 0x2f, 0xfd}, compression::zstd},
      {"lz4 frame", {0x04, 0x22, 0x4d, 0x18}, compression::lz4},
      {"gzip, two bytes only", {0x1f, 0x8b}, compression::gzip},
      {"pcap, little-endian", {0xd4, 0xc3, 0xb2, 0xa1}, compression::none},
      {"pcap, big-endian", {0xa1, 0xb2, 0xc3, 0xd4}, compression::none},
      {"pcap, nanoseconds", {0x4d, 0x3c, 0xb2, 0xa1}, compression::none},
      {"pcapng", {0x0a, 0x0d, 0x0d, 0x0a}, compression::none},
      {"zstd cut short", {0x28, 0xb5, 0x2f}, compression::none},
      {"xz cut short", {0xfd, '7', 'z'}, compression::none},
      {"one byte", {0x1f}, compression::none},
      {"empty", {}, compression::none},
  };
  for (const magic_case &c : cases)
    EXPECT_EQ(compression_of(c.prefix.data(), c.prefix.size()), c.expected) << c.name;
}

}  // namespace
