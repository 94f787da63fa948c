// SPDX-License-Identifier: BSD-2-Clause
// A datagram is tied to its transfer through indexes of the records, and a
// chain of records that share their endpoints is split further once it is
// long. Whichever way, the record found must be the one a single walk of
// every record, newest first, would find, with the same "dtid wrong" lines,
// and a new request must replace the record that walk would replace. These
// tests hold the engine against that walk on random traffic among a few
// endpoints (the broadcast address and port 0 included), with chains never
// split, split from their first record, and split past two records; and
// without the debug lines, where a lookup repeated while nothing changed
// answers from what it found the last time.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "capture_fd.h"
#include "base/options.h"
#include "tftp/endings.h"
#include "tftp/match.h"
#include "tftp/new_transfer.h"
#include "tftp/transfer.h"
#include "tftp/transfer_index.h"
#include "tftp/transfer_table.h"

namespace {

constexpr std::uint32_t BROADCAST_ADDR = 0xFFFFFFFFu;
constexpr std::uint32_t ADDRS[] = {0x0a000001, 0x0a000002, BROADCAST_ADDR};

std::uint32_t v4(const ip_address &a) { return a.v4_host_order(); }

// Every record, newest first.
std::vector<tftp_request_t *> all_records() {
  std::vector<tftp_request_t *> records;
  for_each_transfer([&records](tftp_request_t &r) { records.push_back(&r); });
  return records;
}
constexpr std::uint16_t PORTS[] = {0, 1, 2, 69};

std::string wrong_dtid_line(std::uint32_t src, std::uint32_t dst, std::uint16_t sport, std::uint16_t dport,
                            std::uint16_t dtid) {
  char line[160];
  std::snprintf(line, sizeof line,
                "[debug] found matching address, but dtid wrong; src=%x, dst=%x, dport=%d, sport=%d, dtid=%d\n", src,
                dst, dport, sport, dtid);
  return line;
}

struct walk_result {
  const tftp_request_t *record = nullptr;
  std::string log;
};

// The walk of the whole list: the first record that passes one of the
// tests, in the order they are tried.
walk_result walk_all(std::uint32_t src, std::uint32_t dst, std::uint16_t sport, std::uint16_t dport) {
  walk_result out;
  for (const tftp_request_t *r : all_records()) {
    const transfer_ends_t &e = r->ends;
    if (v4(e.dst_addr) == BROADCAST_ADDR && v4(e.src_addr) == dst && e.stid == dport && src != BROADCAST_ADDR &&
        r->filename && r->mode)
      return out.record = r, out;
    if (v4(e.dst_addr) == src && v4(e.src_addr) == dst && e.stid == dport) {
      if (e.dtid == 0 || e.dtid == sport) return out.record = r, out;
      out.log += wrong_dtid_line(src, dst, sport, dport, e.dtid);
      continue;
    }
    if (v4(e.src_addr) == src && v4(e.dst_addr) == dst && e.stid == sport && (e.dtid == dport || e.dtid == 0))
      return out.record = r, out;
  }
  return out;
}

std::multiset<std::uint64_t> list_seqs() {
  std::multiset<std::uint64_t> seqs;
  for (const tftp_request_t *r : all_records()) seqs.insert(r->table.seq);
  return seqs;
}

// The record a new request replaces: the first of the same four endpoint
// values, unless the request went to the broadcast address.
const tftp_request_t *replaced_by(const request_template_t &t) {
  if (t.server.addr.is_limited_broadcast()) return nullptr;
  for (const tftp_request_t *r : all_records())
    if (r->ends.src_addr == t.requester.addr && r->ends.dst_addr == t.server.addr && r->src_port == t.requester.port &&
        r->dst_port == t.server.port)
      return r;
  return nullptr;
}

// A message that moves the transfer on: DATA short enough to end it or not
// (after an OACK that sets blksize 2), ACKs, an ERROR.
std::vector<std::uint8_t> random_message(std::mt19937 &rng) {
  switch (rng() % 5) {
    case 0:
      return {0, 3, 0, static_cast<std::uint8_t>(1 + rng() % 3), 'a', 'b'};
    case 1:
      return {0, 3, 0, static_cast<std::uint8_t>(1 + rng() % 3), 'a'};
    case 2:
      return {0, 4, 0, static_cast<std::uint8_t>(rng() % 4)};
    case 3:
      return {0, 6, 'b', 'l', 'k', 's', 'i', 'z', 'e', 0, '2', 0};
    default:
      return {0, 5, 0, 1, 'x', 0};
  }
}

void run_traffic(std::uint32_t seed, std::size_t limit, int level) {
  chain_walk_limit = limit;
  debug_level = level;
  std::mt19937 rng(seed);
  auto addr = [&rng] { return ADDRS[rng() % 3]; };
  auto port = [&rng] { return PORTS[rng() % 4]; };
  std::vector<datagram_ends> recent;
  for (int step = 0; step < 400; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", limit " + std::to_string(limit) + ", debug " +
                 std::to_string(level) + ", step " + std::to_string(step));
    if (rng() % 3 == 0) {
      const std::uint32_t from = addr(), to = addr();
      const std::uint16_t from_port = port(), to_port = port();
      const request_template_t t{static_cast<tftp_op>(1 + rng() % 2), "f", "octet",
                                 {ip_address::from_v4(from), from_port}, {ip_address::from_v4(to), to_port}};
      std::multiset<std::uint64_t> expected = list_seqs();
      if (const tftp_request_t *old = replaced_by(t)) expected.erase(expected.find(old->table.seq));
      capture_fd(1, [&] { add_request(t); });
      std::multiset<std::uint64_t> after = list_seqs();
      after.erase(after.find(newest_transfer()->table.seq));
      ASSERT_EQ(after, expected) << "the request replaced another record";
      continue;
    }
    // Half the datagrams repeat the ends of one of the last few, as the
    // two directions of a transfer do.
    std::uint32_t src = addr(), dst = addr();
    std::uint16_t sport = port(), dport = port();
    if (!recent.empty() && rng() % 2 == 0) {
      const datagram_ends &again = recent[rng() % recent.size()];
      src = v4(again.src), dst = v4(again.dst), sport = again.sport, dport = again.dport;
    }
    const walk_result want = walk_all(src, dst, sport, dport);
    const tftp_request_t *got = nullptr;
    const datagram_ends ends{ip_address::from_v4(src), ip_address::from_v4(dst), sport, dport};
    if (recent.size() == 4) recent.erase(recent.begin());
    recent.push_back(ends);
    const std::string log = capture_fd(2, [&] { got = find_transfer(ends); });
    ASSERT_EQ(got, want.record);
    ASSERT_EQ(log, level >= 2 ? want.log : "");
    const std::vector<std::uint8_t> message = random_message(rng);
    tftp_msg_t msg{};
    capture_fd(1, [&] { capture_fd(2, [&] { match_transfer(bytes_t{message}, ends, msg); }); });
  }
}

class TransferMatch : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = {print_console, debug_level};
    saved_limit_ = chain_walk_limit;
    print_console = 1;
    debug_level = 2;
  }
  void TearDown() override {
    capture_fd(1, [] { capture_fd(2, [] { flush_all_requests(); }); });
    print_console = saved_[0];
    debug_level = saved_[1];
    chain_walk_limit = saved_limit_;
  }

 private:
  std::array<int, 2> saved_{};
  std::size_t saved_limit_ = 0;
};

TEST_F(TransferMatch, FindsWhatOneWalkOfEveryRecordFinds) {
  for (const int level : {2, 1}) {
    for (const std::size_t limit : {static_cast<std::size_t>(-1), std::size_t{0}, std::size_t{2}}) {
      for (std::uint32_t seed = 1; seed <= 60; ++seed) {
        run_traffic(seed, limit, level);
        if (HasFatalFailure()) return;
        capture_fd(1, [] { capture_fd(2, [] { flush_all_requests(); }); });
      }
    }
  }
}

// Thousands of requesters, each its own key of the endpoint index, made and
// forgotten in random order, as idle requests are: a key that goes must
// leave every other one found, whatever runs of neighbouring slots the
// keys share (round the table's end included), and a new key must find a
// place wherever the old ones went.
TEST_F(TransferMatch, ForgottenKeysLeaveTheOthersFound) {
  chain_walk_limit = static_cast<std::size_t>(-1);
  std::mt19937 rng(27);
  std::vector<tftp_request_t *> live;
  std::vector<endpoint_key> keys;
  std::uint32_t next_host = 0;
  const auto add = [&] {
    const ip_address requester = ip_address::from_v4(0x0a000000u + ++next_host);
    const request_template_t t{tftp_op::rrq, "f", "octet", {requester, 1024}, {ip_address::from_v4(0xc0a80001), 69}};
    live.push_back(add_request(t));
    keys.push_back({requester, t.server.addr, 1024});
  };
  const auto forget = [&](std::size_t i) {
    const endpoint_key gone = keys[i];
    table_erase(*live[i]);
    live[i] = live.back(), live.pop_back();
    keys[i] = keys.back(), keys.pop_back();
    ASSERT_EQ(index_chain(gone).head, nullptr);
  };
  const auto all_found = [&] {
    for (std::size_t i = 0; i < live.size(); ++i) ASSERT_EQ(index_chain(keys[i]).head, live[i]) << "record " << i;
  };
  for (int round = 0; round < 2; ++round) {
    while (live.size() < 3000) add();
    all_found();
    // Half of them go, and as many others come, one at a time.
    for (int step = 0; step < 3000; ++step) {
      if (step % 2 == 0) forget(rng() % live.size());
      else add();
      if (HasFatalFailure()) return;
      if (step % 64 == 0) all_found();
    }
    while (!live.empty()) {
      forget(rng() % live.size());
      if (live.size() % 8 == 0) all_found();
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_EQ(transfers_tracked(), 0u);
}

}  // namespace
