// SPDX-License-Identifier: BSD-2-Clause
// A capture file and standard input from a pipe are read differently (a
// file in large pieces, a pipe as its bytes come), with many transfers in
// progress. Either way every frame must be handled the same way and in the
// same order: the same capture gives the same trace, the same debug lines
// and the same files from a file as from a pipe, a capture cut off in a
// record included.

#include <regex>

#include "tftp_golden.h"

namespace golden {
namespace {

constexpr int kTransfers = 1300;  // in progress at once

endpoint requester(int i) {
  return {"10.1." + std::to_string(i / 200) + "." + std::to_string(1 + i % 200), static_cast<std::uint16_t>(2000 + i)};
}
endpoint tid(int i) { return {"10.0.0.2", static_cast<std::uint16_t>(10000 + i)}; }
bytes block(int i) { return pattern(512, static_cast<std::uint8_t>(i)); }

// Every transfer asks, then blocks and ACKs come interleaved over all of
// them, with a retransmitted block, a block from a wrong port and some
// noise on the way. Unless `finish`, block 2 is full and the transfers stay
// in progress to the end.
capture many_transfers(bool finish) {
  capture cap;
  for (int i = 0; i < kTransfers; ++i) cap.udp(requester(i), server, tftp::rrq("f" + std::to_string(i)));
  for (int i = 0; i < kTransfers; ++i) cap.udp(tid(i), requester(i), tftp::data(1, block(i)));
  for (int i = 0; i < kTransfers; ++i) {
    cap.udp(requester(i), tid(i), tftp::ack(1));
    if (i % 97 == 0) cap.udp(tid(i), requester(i), tftp::data(1, block(i)));
    if (i % 101 == 0) cap.udp({"10.0.0.2", 7}, requester(i), tftp::data(2, text("wrong port")));
    if (i % 89 == 0) cap.udp({"10.9.9.9", 53}, {"10.9.9.8", 5353}, text("not tftp"));
  }
  for (int i = kTransfers - 1; i >= 0; --i)
    cap.udp(tid(i), requester(i), tftp::data(2, finish ? text("end" + std::to_string(i)) : block(i + 1)));
  for (int i = 0; i < kTransfers; ++i) cap.udp(requester(i), tid(i), tftp::ack(2));
  return cap;
}

// The first line names the input, and the creation lines carry a record's
// address in memory, which differ: nothing else may.
std::string comparable(const std::string &text) {
  const auto end = text.find('\n');
  const std::string rest = end == std::string::npos ? text : text.substr(end + 1);
  return std::regex_replace(rest, std::regex("created new request \\[[0-9a-f]+\\]"), "created new request [-]");
}

void expect_same_as_from_a_pipe(const bytes &pcap, const std::vector<std::string> &args, int status) {
  run_setup from_file;
  from_file.files["in.pcap"] = pcap;
  std::vector<std::string> file_args{"-r", "in.pcap"};
  file_args.insert(file_args.end(), args.begin(), args.end());
  const run_result a = run_tool(file_args, from_file);

  run_setup from_pipe;
  from_pipe.stdin_bytes = pcap;
  const run_result b = run_tool(args, from_pipe);

  EXPECT_EQ(a.status, status);
  EXPECT_EQ(b.status, status);
  EXPECT_EQ(a.out, b.out);
  EXPECT_EQ(comparable(a.err), comparable(b.err));
  EXPECT_EQ(a.files, b.files);
}

TEST(FileOrPipe, SameAsFrameByFrame) {
  const capture cap = many_transfers(true);
  expect_same_as_from_a_pipe(cap.file(), {"-vv", "-d", "3"}, 0);

  // And the files are right.
  run_setup setup;
  setup.files["in.pcap"] = cap.file();
  const run_result r = run_tool({"-r", "in.pcap"}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.files.size(), static_cast<std::size_t>(kTransfers));
  for (int i = 0; i < kTransfers; ++i) {
    const std::string file = out_name(requester(i), tid(i), "f" + std::to_string(i));
    ASSERT_EQ(r.files.count(file), 1u) << file;
    EXPECT_EQ(r.files.at(file), block(i) + text("end" + std::to_string(i))) << file;
  }
}

TEST(FileOrPipe, CutOffCaptureHandlesHeldFramesBeforeFailing) {
  // The debug lines of the last whole frames come before the failure, and
  // the end-of-run warnings after it.
  expect_same_as_from_a_pipe(many_transfers(false).file_cut(3), {"-d", "5"}, 1);
}

}  // namespace
}  // namespace golden
