// SPDX-License-Identifier: BSD-2-Clause
// Block numbers past 65535: a transfer counts its blocks on in 32 bits, so a
// long transfer is written whole and in order whether its sender wraps from
// 65535 to 0 or to 1, and the acknowledgement rules hold across the wrap.
// The block size is 8 (through OACK) to keep the captures small.

#include <algorithm>

#include "exchange.h"

namespace golden {
namespace {

constexpr std::uint32_t kFullBlocks = 70000;  // then one short block
constexpr std::uint32_t kLast = kFullBlocks + 1;

enum class wrap { to_zero, to_one };

std::uint16_t wire_of(std::uint32_t count, wrap w) {
  return w == wrap::to_zero ? static_cast<std::uint16_t>(count) : static_cast<std::uint16_t>((count - 1) % 65535 + 1);
}

bytes content_of(std::uint32_t count) {
  return count == kLast ? text("last!") : be32(count) + be32(count ^ 0xa5a5a5a5u);
}

struct event {
  enum { data, ack } kind;
  std::uint32_t count;
};

// DATA n then ACK n for every block.
std::vector<event> in_order() {
  std::vector<event> e;
  e.reserve(2 * kLast + 8);
  for (std::uint32_t n = 1; n <= kLast; ++n) {
    e.push_back({event::data, n});
    e.push_back({event::ack, n});
  }
  return e;
}

// Position of an event in the list.
std::vector<event>::iterator find(std::vector<event> &e, decltype(event::kind) kind, std::uint32_t count) {
  return std::find_if(e.begin(), e.end(), [&](const event &x) { return x.kind == kind && x.count == count; });
}

// DATA in windows of `size` blocks, each window acknowledged by the ACK of
// its last block.
std::vector<event> in_windows(std::uint32_t size) {
  std::vector<event> e;
  e.reserve(kLast + kLast / size + 8);
  for (std::uint32_t n = 1; n <= kLast; ++n) {
    e.push_back({event::data, n});
    if (n % size == 0 || n == kLast) e.push_back({event::ack, n});
  }
  return e;
}

// A read (the server sends DATA) or write (the requester does) transfer of
// "f", the block size set to 8 by the server's OACK, and the window size
// too unless it is 1.
exchange transfer(bool write, wrap w, const std::vector<event> &events, int window = 1) {
  exchange x;
  tftp::option_list eight{{"blksize", "8"}};
  if (window > 1) eight.push_back({"windowsize", std::to_string(window)});
  x.send(client, server, write ? tftp::wrq("f", "octet", eight) : tftp::rrq("f", "octet", eight));
  x.send(server_tid, client, tftp::oack(eight));
  if (!write) x.send(client, server_tid, tftp::ack(0));
  const endpoint &sender = write ? client : server_tid;
  const endpoint &receiver = write ? server_tid : client;
  for (const auto &e : events) {
    if (e.kind == event::data) {
      x.send(sender, receiver, tftp::data(wire_of(e.count, w), content_of(e.count)));
    } else {
      x.send(receiver, sender, tftp::ack(wire_of(e.count, w)));
    }
  }
  return x;
}

// The blocks 1..upto and then the last one.
bytes blocks_then_last(std::uint32_t upto) {
  bytes b;
  b.reserve(8 * upto + 5);
  for (std::uint32_t n = 1; n <= upto; ++n) b += content_of(n);
  return b + content_of(kLast);
}

run_result run(const exchange &x, std::vector<std::string> args = {}) {
  run_setup setup;
  setup.files["in.pcap"] = x.file();
  setup.timeout_seconds = 120;
  return run_tool(with_input(std::move(args)), setup);
}

void expect_file(const run_result &r, const bytes &content) {
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, reading());
  ASSERT_EQ(r.files.size(), 1u);
  ASSERT_EQ(r.files.begin()->first, sample_name);
  // Compared by size and first difference rather than printed whole.
  const auto &got = r.files.begin()->second;
  EXPECT_EQ(got.size(), content.size());
  const auto diff = std::mismatch(got.begin(), got.end(), content.begin(), content.end());
  EXPECT_TRUE(diff.first == got.end() && diff.second == content.end())
      << "first difference at byte " << (diff.first - got.begin()) << " (block " << (diff.first - got.begin()) / 8 + 1
      << ")";
}

class Rollover : public ::testing::TestWithParam<wrap> {};

TEST_P(Rollover, ReadTransferWrittenWhole) { expect_file(run(transfer(false, GetParam(), in_order())), blocks_then_last(kFullBlocks)); }

TEST_P(Rollover, WriteTransferWrittenWhole) { expect_file(run(transfer(true, GetParam(), in_order())), blocks_then_last(kFullBlocks)); }

TEST_P(Rollover, RetransmittedBlocksAroundTheWrapWrittenOnce) {
  auto e = in_order();
  // Block 65535 sent twice before its ACK; block 65536 sent again after its
  // ACK, and that ACK repeated.
  e.insert(find(e, event::ack, 65535), {event::data, 65535});
  const auto after = find(e, event::ack, 65536) + 1;
  e.insert(after, {{event::data, 65536}, {event::ack, 65536}});
  expect_file(run(transfer(false, GetParam(), e)), blocks_then_last(kFullBlocks));
}

// The sender moving on to the next block proves the ACK the capture lost.
TEST_P(Rollover, MissingAckBeforeTheWrapProvedBySender) {
  auto e = in_order();
  e.erase(find(e, event::ack, 65535));
  expect_file(run(transfer(false, GetParam(), e)), blocks_then_last(kFullBlocks));
}

TEST_P(Rollover, MissingAckAfterTheWrapProvedBySender) {
  auto e = in_order();
  e.erase(find(e, event::ack, 65536));
  expect_file(run(transfer(false, GetParam(), e)), blocks_then_last(kFullBlocks));
}

// A block past the wrap never seen: its place stays a hole of zeros and the
// blocks after it keep theirs.
TEST_P(Rollover, MissingBlockPastTheWrapLeavesItsPlace) {
  auto e = in_order();
  e.erase(find(e, event::data, 65537));
  const run_result r = run(transfer(false, GetParam(), e));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading() + warning("missing content in file: " + sample_name + ": [524288, 524296)"));
  bytes want = blocks_then_last(kFullBlocks);
  std::fill(want.begin() + 524288, want.begin() + 524296, 0);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_TRUE(r.files.begin()->second == want);
}

// Windows of 8 that straddle the wrap, whichever way the sender wraps.
TEST_P(Rollover, WindowedTransferWrittenWhole) {
  expect_file(run(transfer(false, GetParam(), in_windows(8), 8)), blocks_then_last(kFullBlocks));
  expect_file(run(transfer(true, GetParam(), in_windows(7), 7)), blocks_then_last(kFullBlocks));
}

INSTANTIATE_TEST_SUITE_P(Wrap, Rollover, ::testing::Values(wrap::to_zero, wrap::to_one),
                         [](const ::testing::TestParamInfo<wrap> &info) {
                           return info.param == wrap::to_zero ? "ToZero" : "ToOne";
                         });

// The trace shows the numbers on the wire; the debug lines show the counts.
TEST(RolloverTrace, WireNumbersTracedCountsDebugged) {
  const wrap w = wrap::to_one;
  const exchange x = transfer(false, w, in_order());
  const run_result r = run(x, {"-vv", "-d", "5"});
  EXPECT_EQ(r.status, 0);

  const std::string out = x.trace(2);
  std::string err = debug("ack for read; block=1, last_block=1, last_ack=0") +
                    debug("opening file: " + sample_name + ", mode: wb");
  for (std::uint32_t n = 1; n <= kLast; ++n) {
    const std::string counts = "block=" + std::to_string(n) + ", last_block=" + std::to_string(n) +
                               ", last_ack=" + std::to_string(n - 1);
    if (n == kLast) err += debug("received last block; length: 5, block: " + std::to_string(n));
    if (n > 1) err += debug("ack for read; " + counts);
  }
  EXPECT_TRUE(r.out == out) << "standard output differs; first difference at byte "
                            << (std::mismatch(r.out.begin(), r.out.end(), out.begin(), out.end()).first - r.out.begin());
  // Standard error starts with the "reading" line and the record's creation,
  // which carries its address in memory.
  const std::string head = reading() + "[debug] created new request [";
  ASSERT_EQ(r.err.compare(0, head.size(), head), 0) << r.err.substr(0, 200);
  const std::size_t rest = r.err.find('\n', head.size()) + 1;
  EXPECT_EQ(r.err.substr(head.size(), rest - head.size()).find("]; a000001:1025 > a000002:69\n"),
            r.err.substr(head.size(), rest - head.size()).size() - std::string("]; a000001:1025 > a000002:69\n").size());
  EXPECT_TRUE(r.err.compare(rest, std::string::npos, err) == 0)
      << "standard error differs; first difference at byte "
      << (std::mismatch(r.err.begin() + static_cast<std::ptrdiff_t>(rest), r.err.end(), err.begin(), err.end()).second -
          err.begin());
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files.begin()->second, blocks_then_last(kFullBlocks));
}

}  // namespace
}  // namespace golden
