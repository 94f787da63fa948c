// SPDX-License-Identifier: BSD-2-Clause
// The copy into cold write buffers must be a plain copy whatever the
// length and wherever it starts and ends within a cache line.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "output/stream_copy.h"

namespace {

TEST(CopyToCold, CopiesEveryLengthAtEveryAlignment) {
  std::vector<std::uint8_t> source(600);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 31 + 7);
  alignas(64) std::uint8_t target[64 + 600 + 64];
  for (std::size_t at = 0; at < 64; ++at) {
    for (std::size_t length = 0; length <= 520; ++length) {
      std::fill(std::begin(target), std::end(target), 0xee);
      copy_to_cold(target + at, source.data() + length % 7, length);
      for (std::size_t i = 0; i < sizeof target; ++i) {
        const bool inside = i >= at && i < at + length;
        const std::uint8_t expected = inside ? source[i - at + length % 7] : 0xee;
        ASSERT_EQ(target[i], expected) << "at " << at << ", length " << length << ", byte " << i;
      }
    }
  }
}

}  // namespace
