// SPDX-License-Identifier: BSD-2-Clause
// Silence ends a transfer: 5 seconds of capture time after an ERROR that
// nothing followed, 10 minutes for any other. It then ends as the end of
// the run would end it, with its report line and its warnings, and a
// datagram that would have fitted it later fits nothing.

#include "exchange.h"
#include "report_check.h"

namespace golden {
namespace {

bytes block(char c) { return fill(512, static_cast<std::uint8_t>(c)); }

const std::string disk_full = "Disk full or allocation exceeded";

// Two blocks of a read, the second waiting for its ACK, then the client's
// ERROR, `silence_us` of nothing, and the server's third block.
exchange aborted_read(std::uint64_t silence_us) {
  exchange x;
  x.send(client, server, tftp::rrq("f"));
  x.send(server_tid, client, tftp::data(1, block('a')));
  x.send(client, server_tid, tftp::ack(1));
  x.send(server_tid, client, tftp::data(2, block('b')));
  x.send(client, server_tid, tftp::error(3, disk_full));
  x.pause(silence_us);
  return x;
}

std::string line_of(const std::string &report, const std::string &type) {
  const std::size_t at = report.find("{\"type\":\"" + type + "\"");
  return at == std::string::npos ? "" : report.substr(at, report.find('\n', at) - at);
}

TEST(Silence, ErrorThenFiveSecondsEndsTheTransfer) {
  exchange x = aborted_read(6000000);
  x.send(server_tid, client, tftp::data(3, text("end")), unmatched(server_tid, client));
  run_setup setup;
  setup.files["in.pcap"] = x.file();
  const run_result r = run_tool({"-r", "in.pcap", "-vvv", "--report", "r"}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, x.trace(3));
  // The pending block that follows the counted ones is written.
  EXPECT_EQ(r.files.at(sample_name), block('a') + block('b'));
  EXPECT_EQ(r.err, reading() + warning("transfer ended by ERROR 3 \"" + disk_full + "\": " + sample_name));
  const std::string line = line_of(as_text(r.files.at("r")), "transfer");
  EXPECT_NE(line.find("\"state\":\"error\",\"error\":{\"code\":3,\"message\":\"" + disk_full + "\"}"),
            std::string::npos)
      << line;
}

TEST(Silence, ErrorThenMoreDataGoesOnAsBefore) {
  // Four seconds: the peer carried on, the file is as without the ERROR.
  exchange x = aborted_read(4000000);
  x.send(server_tid, client, tftp::data(2, block('b')));
  x.send(client, server_tid, tftp::ack(2));
  x.send(server_tid, client, tftp::data(3, text("end")));
  run_setup setup;
  setup.files["in.pcap"] = x.file();
  const run_result r = run_tool({"-r", "in.pcap", "-vv", "--report", "r"}, setup);
  EXPECT_EQ(r.out, x.trace(2));
  EXPECT_EQ(r.err, reading());
  EXPECT_EQ(r.files.at(sample_name), block('a') + block('b') + text("end"));
  const std::string line = line_of(as_text(r.files.at("r")), "transfer");
  EXPECT_NE(line.find("\"state\":\"complete\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"errors\":[{\"code\":3,\"message\":\"" + disk_full + "\"}]"), std::string::npos) << line;
  EXPECT_NE(line.find("\"max_gap\":4.001000"), std::string::npos) << line;
}

TEST(Silence, ErrorWhenTheRunEndsIsNamed) {
  const exchange x = aborted_read(0);
  run_setup setup;
  setup.files["in.pcap"] = x.file();
  const run_result r = run_tool({"-r", "in.pcap", "--report", "r"}, setup);
  EXPECT_EQ(r.err, reading() + warning("transfer ended by ERROR 3 \"" + disk_full + "\": " + sample_name));
  EXPECT_EQ(r.files.at(sample_name), block('a') + block('b'));
  EXPECT_NE(line_of(as_text(r.files.at("r")), "transfer").find("\"state\":\"error\""), std::string::npos);
}

TEST(Silence, BlockInFlightAfterTheErrorStillNamesTheError) {
  // The client gave up; the server's next block was already on its way.
  exchange x = aborted_read(0);
  x.send(server_tid, client, tftp::data(3, block('c')));
  run_setup setup;
  setup.files["in.pcap"] = x.file();
  const run_result r = run_tool({"-r", "in.pcap", "--report", "r"}, setup);
  EXPECT_EQ(r.err, reading() + warning("transfer ended by ERROR 3 \"" + disk_full + "\": " + sample_name));
  EXPECT_EQ(r.files.at(sample_name), block('a') + block('b') + block('c'));
  EXPECT_NE(line_of(as_text(r.files.at("r")), "transfer").find("\"state\":\"error\""), std::string::npos);
}

TEST(Silence, TenMinutesEndAnUnansweredRequestAndAStalledTransfer) {
  const endpoint other{"10.0.0.7", 2000};
  exchange x;
  x.send(other, server, tftp::rrq("nobody"));
  x.send(client, server, tftp::rrq("f"));
  x.send(server_tid, client, tftp::data(1, block('a')));
  x.send(client, server_tid, tftp::ack(1));
  x.send(server_tid, client, tftp::data(2, block('b')));
  x.pause(11u * 60 * 1000000);
  // Both are over: the block fits nothing, and the report told them first.
  x.send(server_tid, client, tftp::data(3, text("end")), unmatched(server_tid, client));
  x.send(other, server, tftp::rrq("later"));
  run_setup setup;
  setup.files["in.pcap"] = x.file();
  const run_result r = run_tool({"-r", "in.pcap", "-vvv", "--report", "r"}, setup);
  EXPECT_EQ(r.out, x.trace(3));
  EXPECT_EQ(r.err, reading() + warning("possible partial content for file: " + sample_name));
  EXPECT_EQ(r.files.at(sample_name), block('a') + block('b'));
  const std::string report = as_text(r.files.at("r"));
  const std::size_t nobody = report.find("\"filename\":\"nobody\"");
  const std::size_t f = report.find("\"filename\":\"f\"");
  const std::size_t later = report.find("\"filename\":\"later\"");
  ASSERT_NE(later, std::string::npos);
  EXPECT_LT(f, later);
  EXPECT_LT(nobody, later);
  EXPECT_NE(report.find("\"state\":\"unanswered\"", nobody), std::string::npos);
  EXPECT_NE(report.find("\"state\":\"incomplete\"", f), std::string::npos);
  EXPECT_NE(line_of(report, "summary").find("\"incomplete\":1,\"error\":0,\"failed\":0,\"unanswered\":2"),
            std::string::npos)
      << report;
}

TEST(ResentRequest, UnansweredCopiesAreOneTransfer) {
  exchange x;
  x.send(client, server, tftp::rrq("f"));
  x.pause(1000000);
  x.send(client, server, tftp::rrq("f"));
  x.send(client, server, tftp::rrq("f"));
  x.send(server_tid, client, tftp::data(1, text("end")));
  // Answered, then asked again: a transfer of its own, as before.
  x.send(client, server, tftp::rrq("f"));
  run_setup setup;
  setup.files["in.pcap"] = x.file();
  const run_result r = run_tool({"-r", "in.pcap", "-v", "--report", "r"}, setup);
  EXPECT_EQ(r.out, x.trace(1));
  const std::string report = as_text(r.files.at("r"));
  const std::string first = line_of(report, "transfer");
  EXPECT_NE(first.find("\"state\":\"complete\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"requests\":3"), std::string::npos) << first;
  EXPECT_NE(first.find("\"first_time\":\"2023-11-14T22:13:20.000000Z\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"max_gap\":1.001000"), std::string::npos) << first;
  EXPECT_NE(line_of(report, "summary").find("\"complete\":1,\"incomplete\":0,\"error\":0,\"failed\":0,\"unanswered\":1"),
            std::string::npos)
      << report;
}

TEST(ResentRequest, OtherOptionsAreAnotherTransfer) {
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(client, server, tftp::rrq("f", "octet", {{"blksize", "1024"}}));
  run_setup setup;
  setup.files["in.pcap"] = cap.file();
  const run_result r = run_tool({"-r", "in.pcap", "--report", "-"}, setup);
  EXPECT_NE(line_of(r.out, "summary").find("\"unanswered\":2"), std::string::npos) << r.out;
}

// Control bytes from the wire never reach the terminal as they are.
TEST(WireTextEscaped, NamesModesOptionsAndErrorTexts) {
  const std::string hostile = "\x1b]0;owned\x07\x1b[2J\nREAD  forged";
  capture cap;
  cap.udp(client, server, tftp::rrq(hostile, "octet", {{"blksize", "5\r12"}}));
  cap.udp(server_tid, client, tftp::error(1, "no\nsuch\x7f"));
  run_setup setup;
  setup.files["in.pcap"] = cap.file();
  const run_result r = run_tool({"-r", "in.pcap", "-vv", "-d", "6"}, setup);
  EXPECT_EQ(r.out, line("READ", client, server, " \"\\x1b]0;owned\\x07\\x1b[2J\\x0aREAD  forged\" octet blksize=5\\x0d12") +
                       line("ERROR", server_tid, client, " 1 \"no\\x0asuch\\x7f\""));
  EXPECT_NE(r.err.find("filename: \\x1b]0;owned\\x07\\x1b[2J\\x0aREAD  forged, mode: octet\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace golden
