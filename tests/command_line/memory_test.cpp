// SPDX-License-Identifier: BSD-2-Clause
// Running out of memory is a fatal report with its own status, whichever
// allocation of a new record runs out first: the record, its parts, or its
// entry in a lookup index that grows with the records.

#include <algorithm>

#include "golden.h"
#include "tftp_golden.h"

namespace golden {
namespace {

// Many first fragments of datagrams that never complete, each of its own
// key, so that every one makes a new record.
[[maybe_unused]] bytes incomplete_datagrams(int count) {
  capture cap(link::raw);
  // All within the reassembly timeout, so that none is forgotten.
  cap.frame_gap_us = 10;
  auto p = ipv4("10.0.0.1", "10.0.0.2", fill(8, 1));
  p.more_fragments = true;
  const bytes templ = p.build();
  for (int i = 0; i < count; ++i) {
    bytes packet = templ;
    packet[4] = static_cast<std::uint8_t>(i >> 8);  // identification
    packet[5] = static_cast<std::uint8_t>(i);
    packet[13] = static_cast<std::uint8_t>(i >> 16);  // second byte of the source
    cap.packet(packet);  // the header checksum is not enforced without -B
  }
  return cap.file();
}

TEST(MemoryExhaustion, FragmentRecordsEndTheRunWithStatus255) {
#ifdef TFTPCARVE_SANITIZED
  GTEST_SKIP() << "the sanitizers reserve more address space than any limit here allows";
#else
  run_setup setup;
  setup.files["in.pcap"] = incomplete_datagrams(600000);
  const std::vector<std::string> fatal{error("failed to allocate new fragment"),
                                       error("failed to allocate new fragment data"),
                                       error("failed to allocate new fragment data of length: 8")};
  // Several limits, so that each runs out at another point of the index's
  // growth.
  for (unsigned long megabytes : {35ul, 50ul, 80ul, 90ul}) {
    setup.address_space_limit = megabytes << 20;
    const run_result r = run_tool({"-r", "in.pcap"}, setup);
    SCOPED_TRACE(std::to_string(megabytes) + " MiB");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.err.rfind(reading(link::raw), 0), 0u) << r.err;
    const std::string last = r.err.substr(reading(link::raw).size());
    EXPECT_NE(std::find(fatal.begin(), fatal.end(), last), fatal.end()) << last;
  }
#endif
}

// Many read requests, each from a requester port of its own, so that every
// one makes a new transfer.
[[maybe_unused]] bytes distinct_requests(int count) {
  capture cap(link::raw);
  const bytes templ = read_request();
  for (int i = 0; i < count; ++i) {
    bytes packet = templ;
    packet[13] = static_cast<std::uint8_t>(i >> 16);  // second byte of the source
    packet[20] = static_cast<std::uint8_t>(i >> 8);   // source port
    packet[21] = static_cast<std::uint8_t>(i);
    cap.packet(packet);  // checksums are not enforced without -B
  }
  return cap.file();
}

TEST(MemoryExhaustion, TransferRecordsEndTheRunWithTheirStatus) {
#ifdef TFTPCARVE_SANITIZED
  GTEST_SKIP() << "the sanitizers reserve more address space than any limit here allows";
#else
  run_setup setup;
  setup.files["in.pcap"] = distinct_requests(600000);
  const std::vector<std::pair<int, std::string>> fatal{{2, error("failed to malloc tftp_request_t")},
                                                       {3, error("failed to strdup filename")},
                                                       {3, error("failed to strdup mode")},
                                                       {3, error("out of memory allocating request->name")}};
  for (unsigned long megabytes : {40ul, 60ul, 130ul}) {
    setup.address_space_limit = megabytes << 20;
    const run_result r = run_tool({"-r", "in.pcap"}, setup);
    SCOPED_TRACE(std::to_string(megabytes) + " MiB");
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.err.rfind(reading(link::raw), 0), 0u) << r.err;
    const std::pair<int, std::string> outcome{r.status, r.err.substr(reading(link::raw).size())};
    EXPECT_NE(std::find(fatal.begin(), fatal.end(), outcome), fatal.end())
        << "status " << outcome.first << ", " << outcome.second;
  }
#endif
}

// A fatal exit still writes out what counted, and nothing else: block 1 of
// a transfer counted (waiting in its file's buffer), block 2 not yet, then
// requests until memory runs out.
TEST(MemoryExhaustion, FatalExitKeepsCountedBytesOnly) {
#ifdef TFTPCARVE_SANITIZED
  GTEST_SKIP() << "the sanitizers reserve more address space than any limit here allows";
#else
  capture cap(link::raw);
  const endpoint early{"10.9.9.9", 999};
  cap.udp(early, server, tftp::rrq("f"));
  cap.udp(server_tid, early, tftp::data(1, fill(512, 'a')));
  cap.udp(early, server_tid, tftp::ack(1));
  cap.udp(server_tid, early, tftp::data(2, fill(512, 'b')));
  bytes file = cap.file();
  const bytes more = distinct_requests(600000);
  file.insert(file.end(), more.begin() + 24, more.end());  // its records, without its file header
  run_setup setup;
  setup.files["in.pcap"] = file;
  setup.address_space_limit = 60ul << 20;
  const run_result r = run_tool({"-r", "in.pcap"}, setup);
  EXPECT_TRUE(r.status == 2 || r.status == 3) << r.status;
  const std::string name = out_name(early, server_tid, "f");
  ASSERT_EQ(r.files.count(name), 1u);
  EXPECT_EQ(r.files.at(name), fill(512, 'a'));
#endif
}

}  // namespace
}  // namespace golden
