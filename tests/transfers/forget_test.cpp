// SPDX-License-Identifier: BSD-2-Clause
// Long runs forget what is over: a finished transfer idle for ten minutes of
// capture time, and a datagram whose fragments did not all come within 30
// seconds. Shorter gaps forget nothing.

#include "tftp_golden.h"

namespace golden {
namespace {

// A read that ends at its first block, then the same block sent again.
capture finished_then_again(std::uint32_t gap_us) {
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(server_tid, client, tftp::data(1, text("end")));
  cap.pause(gap_us);
  cap.udp(server_tid, client, tftp::data(1, text("end")));
  return cap;
}

TEST(Forgetting, FinishedTransferIdleForTenMinutes) {
  const std::string read = read_line;
  const std::string again = data_line(server_tid, client, 1, 3);
  // Nine minutes apart: still known, the copy is handled.
  golden_case kept = run("Kept", finished_then_again(9u * 60 * 1000000), {"-vvv", "--report", "r"},
                         read + again + again, reading(), {{sample_name, text("end")}});
  // Eleven: forgotten, the copy fits nothing; the report told it when it
  // ended.
  golden_case gone = run("Forgotten", finished_then_again(11u * 60 * 1000000), {"-vvv"},
                         read + again + unmatched(server_tid, client), reading(), {{sample_name, text("end")}});
  for (const golden_case *c : {&kept, &gone}) {
    run_setup setup;
    setup.files["in.pcap"] = c->capture;
    const run_result r = run_tool(c->args, setup);
    EXPECT_EQ(r.status, 0) << c->name;
    EXPECT_EQ(r.out, c->out.text) << c->name;
    EXPECT_EQ(r.err, c->err.text) << c->name;
    EXPECT_EQ(r.files.at(sample_name), text("end")) << c->name;
  }
}

// The two fragments of one read request, `gap_us` apart.
capture split_request(std::uint32_t gap_us) {
  capture cap;
  cap.frame_gap_us = gap_us;
  const bytes datagram = udp(1025, 69, tftp::rrq("f", "octet", {{"blksize", "1024"}})).build("10.0.0.1", "10.0.0.2");
  auto first = ipv4("10.0.0.1", "10.0.0.2", slice(datagram, 0, 16));
  first.more_fragments = true;
  first.id = 77;
  auto second = ipv4("10.0.0.1", "10.0.0.2", slice(datagram, 16, datagram.size() - 16));
  second.frag_offset = 2;
  second.id = 77;
  cap.packet(first.build());
  cap.packet(second.build());
  return cap;
}

TEST(Forgetting, FragmentsOlderThanTheReassemblyTimeout) {
  run_setup setup;
  setup.files["in.pcap"] = split_request(20u * 1000000).file();
  run_result r = run_tool({"-r", "in.pcap", "-v"}, setup);
  EXPECT_EQ(r.out, "READ  10.0.0.1:1025 > 10.0.0.2:69 \"f\" octet blksize=1024\n");
  setup.files["in.pcap"] = split_request(40u * 1000000).file();
  r = run_tool({"-r", "in.pcap", "-v"}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace golden
