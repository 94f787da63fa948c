// SPDX-License-Identifier: BSD-2-Clause
// --strict, and the mistakes that get a clear answer instead of a hang or a
// riddle.

#include "tftp_golden.h"

namespace golden {
namespace {

// A read whose second block never comes: not complete.
capture cut_transfer() {
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
  return cap;
}

TEST(Strict, StatusFiveWhenATransferIsNotComplete) {
  run_setup setup;
  setup.files["in.pcap"] = sample_transfer();
  EXPECT_EQ(run_tool({"-r", "in.pcap", "--strict"}, setup).status, 0);
  setup.files["in.pcap"] = cut_transfer().file();
  EXPECT_EQ(run_tool({"-r", "in.pcap"}, setup).status, 0);
  const run_result r = run_tool({"-r", "in.pcap", "--strict"}, setup);
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, reading());
  // With a report too, and the report is as without --strict.
  EXPECT_EQ(run_tool({"-r", "in.pcap", "--strict", "--report", "r"}, setup).status, 5);
  // An unanswered request is not complete either.
  capture lone;
  lone.udp(client, server, tftp::rrq("f"));
  setup.files["in.pcap"] = lone.file();
  EXPECT_EQ(run_tool({"-r", "in.pcap", "--strict"}, setup).status, 5);
}

TEST(Strict, EarlierStatusesTakePrecedence) {
  run_setup setup;
  setup.files["in.pcap"] = cut_transfer().file_cut(10);
  // The loop fails on the cut record: 1, not 5.
  EXPECT_EQ(run_tool({"-r", "in.pcap", "--strict"}, setup).status, 1);
}

std::vector<golden_case> mistake_cases() {
  const std::vector<std::string> report_out{"--report", "-"};
  return {
      {.name = "TraceWithReportOnStandardOutput",
       .capture = sample_transfer(),
       .args = with_input({"-v", "--report", "-"}),
       .status = 2,
       .err = error("unable to write the report to standard output with -v")},
      {.name = "DumpWithReportOnStandardOutput",
       .capture = sample_transfer(),
       .args = with_input({"--report", "-", "-X"}),
       .status = 2,
       .err = error("unable to write the report to standard output with -X")},
      {.name = "FilterWordNamesAFile",
       .capture = sample_transfer(),
       .args = {"in.pcap"},
       .status = 2,
       .err = matches(quote(reading(1, "-")) + quote("[error] unable to compile pcap filter udp and in.pcap: ") +
                      ".*\n" + quote(error("in.pcap is a file: read it with -r in.pcap"))),
       .stdin_bytes = sample_transfer()},
  };
}

INSTANTIATE_TEST_SUITE_P(Mistakes, Golden, ::testing::ValuesIn(mistake_cases()), case_name());

}  // namespace
}  // namespace golden

namespace golden {
namespace {

// The summary a person reads: totals, then one line a transfer, wire text
// escaped; never on a pipe unless asked.
TEST(Summary, TotalsAndOneLineATransfer) {
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(server_tid, client, tftp::error(1, "File not\nfound"));
  const endpoint other{"10.0.0.1", 1026};
  cap.udp(other, server, tftp::rrq("g"));
  run_setup setup;
  setup.files["in.pcap"] = cap.file();
  EXPECT_EQ(run_tool({"-r", "in.pcap"}, setup).err, reading());
  EXPECT_EQ(run_tool({"-r", "in.pcap", "--summary=never"}, setup).err, reading());
  const run_result r = run_tool({"-r", "in.pcap", "--summary"}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading() +
                       "2 transfers: 0 complete, 0 incomplete, 1 error, 0 failed, 1 unanswered; 0 files, 0 bytes\n"
                       "  unanswered 10.0.0.1:1026 > 10.0.0.2:69 read  \"g\" 0 bytes 0.000 s\n"
                       "  error      10.0.0.1:1025 > 10.0.0.2:3000 read  \"f\" 0 bytes 0.001 s 0 B/s, ERROR 1 "
                       "\"File not\\x0afound\"\n");
  EXPECT_EQ(run_tool({"-r", "in.pcap", "--summary=sometimes"}, setup).status, 1);
}

// After the totals, a line for each likely cause of a thin result, with its
// count: IPv6 read only with -6, DATA and ACK of no known transfer (the
// capture began mid-transfer), frames cut by the snap length, output files
// already there.
TEST(Summary, HintsPointToTheCause) {
  capture cap;
  cap.udp6({"fd00::1", 1025}, {"fd00::2", 69}, tftp::rrq("six"));
  cap.udp(server_tid, client, tftp::data(7, fill(512, 'a')));
  cap.udp(client, server_tid, tftp::ack(7));
  cap.frame(cap.wrap(ipv4("10.0.0.1", "10.0.0.2", udp(1025, 69, tftp::rrq("cut"))).build()), 2000);
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(server_tid, client, tftp::data(1, text("end")));
  run_setup setup;
  setup.files["in.pcap"] = cap.file();
  setup.files[out_name(client, server_tid, "f")] = text("there before");
  const run_result r = run_tool({"-r", "in.pcap", "--summary"}, setup);
  EXPECT_EQ(r.status, 0);
  ASSERT_NE(r.err.find("hint:"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.substr(r.err.find("hint:")),
      "hint: 1 IPv6 frames skipped: give -6 to read TFTP over IPv6\n"
      "hint: 2 DATA or ACK datagrams of no known transfer: the capture may have started mid-transfer\n"
      "hint: 1 frames cut by the capture's snap length: capture them whole (tcpdump -s 0)\n"
      "hint: 1 output files already existed and were left alone: give -f to overwrite, or -o another folder\n");
  // Nothing to point to: no hint line.
  setup.files["in.pcap"] = sample_transfer();
  setup.files.erase(out_name(client, server_tid, "f"));
  EXPECT_EQ(run_tool({"-r", "in.pcap", "--summary"}, setup).err.find("hint:"), std::string::npos);
}

}  // namespace
}  // namespace golden
