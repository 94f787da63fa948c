// SPDX-License-Identifier: BSD-2-Clause
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "capture_builder.h"
#include "decode/fragment.h"

namespace {

// Addresses and identifications as they are stored in a header.
std::uint32_t stored(const char *dotted) { return htonl(capture_builder::ipv4_addr(dotted)); }
std::uint16_t stored_id(std::uint16_t id) { return htons(id); }

struct bucket_case {
  const char *src;
  const char *dst;
  std::uint16_t id;
  int bucket;
};

void PrintTo(const bucket_case &c, std::ostream *os) { *os << c.src << " -> " << c.dst << " id " << c.id; }

class FragHash : public ::testing::TestWithParam<bucket_case> {};

TEST_P(FragHash, Bucket) {
  const auto &c = GetParam();
  EXPECT_EQ(frag_hash(stored(c.src), stored(c.dst), stored_id(c.id)), c.bucket)
      << c.src << " -> " << c.dst << " id " << c.id;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FragHash,
    ::testing::Values(bucket_case{"10.0.0.1", "10.0.0.2", 0x1234, 7},
                      // Trailing zero bytes of a field are not folded.
                      bucket_case{"10.1.0.0", "10.0.0.2", 0x1234, 36},
                      bucket_case{"192.168.1.2", "192.168.1.1", 1, 37},
                      bucket_case{"192.168.1.2", "192.168.1.1", 0x0100, 69},
                      // The first byte of each field always is.
                      bucket_case{"0.0.0.0", "0.0.0.0", 0, 0},
                      bucket_case{"10.0.0.1", "10.0.0.2", 0x1299, 7}));

}  // namespace
