// SPDX-License-Identifier: BSD-2-Clause
// Transfer records come from a pool: each one aligned to the cache line,
// none overlapping another while taken, a record given back is the next one
// taken, and the count of records taken comes back to zero.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tftp/record_pool.h"

namespace {

TEST(RecordPool, RecordsAreAlignedApartAndReused) {
  ASSERT_EQ(pool_records_taken(), 0u);
  // More than one block's worth.
  std::vector<std::uintptr_t> taken;
  for (int i = 0; i < 10000; ++i) {
    void *record = pool_take();
    ASSERT_NE(record, nullptr);
    taken.push_back(reinterpret_cast<std::uintptr_t>(record));
  }
  EXPECT_EQ(pool_records_taken(), 10000u);
  for (const std::uintptr_t at : taken) EXPECT_EQ(at % POOL_RECORD_ALIGN, 0u);
  std::vector<std::uintptr_t> sorted = taken;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 1; i < sorted.size(); ++i) ASSERT_GE(sorted[i] - sorted[i - 1], POOL_RECORD_BYTES);

  // The memory of a record given back is that of the next one taken.
  void *given = reinterpret_cast<void *>(taken[500]);
  pool_give(given);
  EXPECT_EQ(pool_take(), given);

  for (const std::uintptr_t at : taken) pool_give(reinterpret_cast<void *>(at));
  EXPECT_EQ(pool_records_taken(), 0u);
  // Empty, the pool starts again from the start of a block.
  void *again = pool_take();
  ASSERT_NE(again, nullptr);
  pool_give(again);
  EXPECT_EQ(pool_records_taken(), 0u);
}

}  // namespace
