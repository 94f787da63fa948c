// SPDX-License-Identifier: BSD-2-Clause
// Windows of more than 32768 blocks (RFC 7440 allows 65535): every block of
// every window is read as the block it is, across the wrap of the 16-bit
// block numbers too, and a number that could stand for two blocks is never
// placed: once acknowledged it is a hole, named. Block sizes out of the
// option's range (8 to 65464) still say which block is the last, but place
// nothing: blocks go one after another.

#include <algorithm>

#include "exchange.h"

namespace golden {
namespace {

bytes content_of(std::uint32_t count, std::size_t size) {
  bytes b = be32(count) + be32(count ^ 0xa5a5a5a5u);
  b.resize(size, static_cast<std::uint8_t>(count));
  return b;
}

const bytes last_block = text("end");

struct window_case {
  const char *name;
  int window;
  int blksize;
};

// Blocks 1 to 65536, then a short last one: the numbers wrap. The server's
// OACK sets the window and the block size; the client acknowledges block
// 32767, then every `window` blocks, and the last one: the blocks of the
// second window reach up to `window` past 32767, the middle of the range
// of numbers.
constexpr std::uint32_t kLast = 65537;
constexpr std::uint32_t kFirstAck = 32767;

capture windows(const window_case &w) {
  const tftp::option_list options{{"blksize", std::to_string(w.blksize)}, {"windowsize", std::to_string(w.window)}};
  capture cap;
  cap.udp(client, server, tftp::rrq("f", "octet", options));
  cap.udp(server_tid, client, tftp::oack(options));
  cap.udp(client, server_tid, tftp::ack(0));
  for (std::uint32_t n = 1; n <= kLast; ++n) {
    const bytes content = n == kLast ? last_block : content_of(n, w.blksize);
    cap.udp(server_tid, client, tftp::data(static_cast<std::uint16_t>(n), content));
    const bool ack = n == kLast || (n >= kFirstAck && (n - kFirstAck) % static_cast<std::uint32_t>(w.window) == 0);
    if (ack) cap.udp(client, server_tid, tftp::ack(static_cast<std::uint16_t>(n)));
  }
  return cap;
}

bytes expected_file(const window_case &w) {
  bytes b;
  b.reserve(kLast * w.blksize);
  for (std::uint32_t n = 1; n < kLast; ++n) b += content_of(n, w.blksize);
  return b + last_block;
}

run_result run(const capture &cap, std::vector<std::string> args = {}) {
  run_setup setup;
  setup.files["in.pcap"] = cap.file();
  setup.timeout_seconds = 120;
  return run_tool(with_input(std::move(args)), setup);
}

void expect_file(const run_result &r, const bytes &content) {
  ASSERT_EQ(r.files.size(), 1u);
  ASSERT_EQ(r.files.begin()->first, sample_name);
  const auto &got = r.files.begin()->second;
  EXPECT_EQ(got.size(), content.size());
  const auto diff = std::mismatch(got.begin(), got.end(), content.begin(), content.end());
  EXPECT_TRUE(diff.first == got.end() && diff.second == content.end())
      << "first difference at byte " << (diff.first - got.begin());
}

class BigWindow : public ::testing::TestWithParam<window_case> {};

TEST_P(BigWindow, EveryBlockAtItsPlace) {
  const window_case &w = GetParam();
  const run_result r = run(windows(w));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, reading());
  expect_file(r, expected_file(w));
}

INSTANTIATE_TEST_SUITE_P(Windows, BigWindow,
                         ::testing::Values(window_case{"W32768Size8", 32768, 8}, window_case{"W32769Size8", 32769, 8},
                                           window_case{"W40000Size8", 40000, 8}, window_case{"W65535Size8", 65535, 8},
                                           window_case{"W32768Size256", 32768, 256},
                                           window_case{"W32769Size256", 32769, 256},
                                           window_case{"W40000Size256", 40000, 256},
                                           window_case{"W65535Size256", 65535, 256}),
                         [](const ::testing::TestParamInfo<window_case> &info) { return info.param.name; });

// Windows of 65535: once the first window is acknowledged, the server may
// still send its blocks again (it may not have the ACK), so wire number 2
// is block 2 sent again as well as block 65538. Such a block is left out;
// here the real block 65538 never shows, and an ACK of it, or a block
// after it, is no proof of what the sender sent: nothing is placed past
// 65537, and the transfer stays incomplete.
TEST(BigWindowAmbiguity, BlockThatMayBeOlderNeverPlaced) {
  const tftp::option_list options{{"blksize", "8"}, {"windowsize", "65535"}};
  capture cap;
  cap.udp(client, server, tftp::rrq("f", "octet", options));
  cap.udp(server_tid, client, tftp::oack(options));
  cap.udp(client, server_tid, tftp::ack(0));
  cap.udp(server_tid, client, tftp::data(1, content_of(1, 8)));
  cap.udp(server_tid, client, tftp::data(65535, content_of(65535, 8)));
  cap.udp(client, server_tid, tftp::ack(65535));
  cap.udp(server_tid, client, tftp::data(2, fill(8, 'X')));  // block 2 again, or block 65538?
  cap.udp(server_tid, client, tftp::data(0, content_of(65536, 8)));
  cap.udp(server_tid, client, tftp::data(1, content_of(65537, 8)));
  cap.udp(client, server_tid, tftp::ack(2));
  cap.udp(server_tid, client, tftp::data(3, last_block));
  cap.udp(client, server_tid, tftp::ack(3));
  const run_result r = run(cap);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading() + warning("possible partial content for file: " + sample_name) +
                       warning("missing content in file: " + sample_name + ": [8, 524272)"));
  bytes want = content_of(1, 8) + fill(65533 * 8, 0);
  for (std::uint32_t n = 65535; n <= 65537; ++n) want += content_of(n, 8);
  expect_file(r, want);
}

// OACK values that are not sizes the options allow.
struct wild_case {
  const char *name;
  tftp::option_list oack;
  // The DATA the server sends; no ACK is needed, each DATA proves the one
  // before it acknowledged, and the last counts at once.
  std::vector<std::pair<std::uint16_t, bytes>> data;
  bytes file;
  std::string warnings;  // after the "reading" line
};

std::string appended(const std::string &size) {
  return warning("block size " + size + " out of range for file: " + sample_name + "; blocks written one after another");
}

std::vector<golden_case> wild_cases() {
  const std::string hole_at_start = warning("missing content in file: " + sample_name + ": [0, 0)");
  const std::vector<wild_case> table{
      // The first DATA is the last, as before: the same file.
      {"BlksizeMinusOneDataOne", {{"blksize", "-1"}}, {{1, text("hello")}}, text("hello"), appended("-1")},
      // A later first DATA: no place 4 GiB times its number into the file,
      // the block is all the file holds, after the blocks it never saw.
      {"BlksizeMinusOneLateData", {{"blksize", "-1"}}, {{60000, text("hello")}}, text("hello"),
       appended("-1") + hole_at_start},
      {"BlksizeTooLargeLateData", {{"blksize", "70000"}}, {{3, fill(600, 'a')}}, fill(600, 'a'),
       appended("70000") + hole_at_start},
      {"BlksizeWrappingLateData", {{"blksize", "4294967304"}}, {{1, text("12345678")}, {2, text("9")}},
       text("123456789"), appended("4294967304")},
      {"BlksizeTooSmallInOrder", {{"blksize", "4"}}, {{1, text("abcd")}, {2, text("efgh")}, {3, text("ij")}},
       text("abcdefghij"), appended("4")},
      // A window size the option does not allow is no window: one block
      // at a time, so block 2 before block 1 proves block 1 acknowledged,
      // and the copy of block 1 takes the place of block 2 as the one that
      // waits (a window would have kept both).
      {"WindowsizeWrappingIsLockstep",
       {{"windowsize", "4294967300"}},
       {{2, fill(512, 'b')}, {1, fill(512, 'a')}, {3, text("end")}},
       fill(1024, 0) + text("end"),
       warning("missing content in file: " + sample_name + ": [0, 1024)")},
      {"WindowsizeNegativeIsLockstep",
       {{"windowsize", "-5"}},
       {{2, fill(512, 'b')}, {1, fill(512, 'a')}, {3, text("end")}},
       fill(1024, 0) + text("end"),
       warning("missing content in file: " + sample_name + ": [0, 1024)")},
  };
  std::vector<golden_case> c;
  for (const wild_case &w : table) {
    capture cap;
    cap.udp(client, server, tftp::rrq("f", "octet", w.oack));
    cap.udp(server_tid, client, tftp::oack(w.oack));
    cap.udp(client, server_tid, tftp::ack(0));
    for (const auto &[block, content] : w.data) cap.udp(server_tid, client, tftp::data(block, content));
    c.push_back(golden::run(w.name, cap, {}, "", reading() + w.warnings, {{sample_name, w.file}}));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(WildOptions, Golden, ::testing::ValuesIn(wild_cases()), case_name());

}  // namespace
}  // namespace golden
