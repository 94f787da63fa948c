// SPDX-License-Identifier: BSD-2-Clause
// Blocks held, staged in write buffers, counted and written, for many files
// at once under a tiny buffer budget and few descriptors, so that buffers
// are taken back, cut down to their staged blocks and files parked all the
// time: every file must end up holding exactly the blocks that counted, at
// their places.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "output/block_output.h"
#include "output/write_buffer.h"

namespace {

constexpr std::uint32_t PLACE = 512;

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One transfer as its sender and the tftp layer drive it: blocks held in
// order (a window of them, or one at a time with the held one forgotten
// first), copies sent again, blocks lost, and blocks counted in order.
struct transfer_model {
  block_output_t out;
  std::string name;
  std::uint32_t next_block = 1;   // the next block the sender sends
  std::uint32_t counted_to = 0;   // every block up to it counted or lost
  std::map<std::uint32_t, std::string> held;  // what the tool holds, as a model
  std::string expected;           // the file as it should be
  bool lockstep = false;
  bool ended = false;

  static std::uint64_t place(std::uint32_t block) { return std::uint64_t{block - 1} * PLACE; }

  std::string content(std::uint32_t block, std::size_t length, int copy) const {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(block * 7 + i * 13 + copy + name.size());
    return bytes;
  }

  void hold(std::uint32_t block, const std::string &bytes) {
    if (lockstep) {
      output_forget_held(out);
      held.clear();
    }
    output_hold(out, place(block), {reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()}, PLACE);
    held[block] = bytes;
  }

  void count(std::uint32_t block) {
    const auto h = held.find(block);
    const std::uint32_t length = h != held.end() ? static_cast<std::uint32_t>(h->second.size()) : PLACE;
    ASSERT_TRUE(output_count(out, place(block), length, {block, counted_to}));
    if (h != held.end()) {
      if (expected.size() < place(block)) expected.resize(place(block), '\0');
      expected.replace(place(block), std::string::npos, h->second);
      held.erase(h);
    }
    // Counted without a copy, it is a hole: nothing is written.
    counted_to = block;
  }

  // One step of the transfer, chosen by `rng`.
  void step(std::mt19937 &rng) {
    const int what = static_cast<int>(rng() % 10);
    if (lockstep) {
      if (what < 7) {
        // The held block counts (the sender moves on), the next is held.
        if (!held.empty()) count(held.begin()->first);
        hold(next_block, content(next_block, PLACE, 0));
        ++next_block;
      } else if (what < 9 && !held.empty()) {
        hold(held.begin()->first, content(held.begin()->first, PLACE, 1));  // sent again
      } else {
        ++next_block;  // lost: the next block proves it acknowledged, a hole
        if (!held.empty()) count(held.begin()->first);
        output_forget_held(out);
        held.clear();
      }
      return;
    }
    if (what < 5) {
      hold(next_block, content(next_block, PLACE, 0));
      ++next_block;
    } else if (what < 6) {
      ++next_block;  // lost
    } else if (what < 7 && !held.empty()) {
      const std::uint32_t again = held.begin()->first + static_cast<std::uint32_t>(rng() % held.size());
      if (held.count(again)) hold(again, content(again, held[again].size(), 2));
    } else {
      // An acknowledgement of everything sent so far.
      for (std::uint32_t b = counted_to + 1; b < next_block; ++b)
        if (held.count(b)) count(b);
      counted_to = next_block - 1;
    }
  }

  void finish() {
    // The last block is short, and ends the file.
    const std::uint32_t last = next_block;
    for (std::uint32_t b = counted_to + 1; b < last; ++b)
      if (held.count(b)) count(b);
    hold(last, content(last, 100, 0));
    count(last);
    output_settle_size(out, place(last) + 100);
    if (expected.size() < place(last) + 100) expected.resize(place(last) + 100, '\0');
    ASSERT_TRUE(output_finish_writes(out));
    output_release(out);
    ended = true;
  }
};

// Blocks are copied into the buffers the ordinary way, or always streamed
// past the cache as when the buffers outgrow it.
class BlockOutput : public testing::TestWithParam<std::size_t> {};

TEST_P(BlockOutput, ManyFilesUnderATinyBudgetHoldExactlyWhatCounted) {
  char folder[] = "/tmp/block-output-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  ASSERT_TRUE(output_use_folder(folder));
  // Room for a few buffers only, and a handful of descriptors.
  write_buffer_budget = 12 << 10;
  write_buffer_cold_above = GetParam();
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = 44;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);

  std::mt19937 rng(20261210);
  std::vector<transfer_model> transfers(60);
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    transfer_model &t = transfers[i];
    t.name = "file" + std::to_string(i);
    t.out.name.reset(new char[t.name.size() + 1]);
    std::memcpy(t.out.name.get(), t.name.c_str(), t.name.size() + 1);
    t.lockstep = i % 2 == 0;
  }
  for (int round = 0; round < 20000; ++round) {
    transfer_model &t = transfers[rng() % transfers.size()];
    if (!t.ended) t.step(rng);
    if (HasFatalFailure()) return;
  }
  for (transfer_model &t : transfers) {
    t.finish();
    if (HasFatalFailure()) return;
    EXPECT_EQ(read_file(std::string(folder) + "/" + t.name), t.expected) << t.name;
  }
  std::string clean = std::string("rm -rf ") + folder;
  EXPECT_EQ(std::system(clean.c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(CopiedIn, BlockOutput, testing::Values(SIZE_MAX, 0));

}  // namespace
