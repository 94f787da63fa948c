// SPDX-License-Identifier: BSD-2-Clause
// Compressed captures, told by their first bytes whatever their names: from
// files, from standard input, and as pieces of a ring.

#include <gtest/gtest.h>

#include <regex>

#include "split_capture.h"

namespace {

using namespace capture_builder;

const endpoint client{"10.0.0.1", 1025}, server{"10.0.0.2", 69}, server_tid{"10.0.0.2", 3000};
const std::string f_name = "010.000.000.001.01025-010.000.000.002.03000-f";

bytes transfer_file() {
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  for (std::uint16_t b = 1; b <= 40; ++b) {
    cap.udp(server_tid, client, tftp::data(b, pattern(b < 40 ? 512 : 100, static_cast<std::uint8_t>(b))));
    cap.udp(client, server_tid, tftp::ack(b));
  }
  return cap.file();
}

bytes f_content() {
  bytes out;
  for (std::uint16_t b = 1; b <= 40; ++b) out += pattern(b < 40 ? 512 : 100, static_cast<std::uint8_t>(b));
  return out;
}

const char *const TOOLS[] = {"gzip -c", "bzip2 -c", "xz -c", "zstd -q -c", "lz4 -q -c"};

TEST(Compressed, EachCompressionFromAFileAndFromStandardInput) {
  const bytes file = transfer_file();
  for (const char *tool : TOOLS) {
    const bytes packed = split_capture::compressed(file, tool);
    if (packed.empty()) GTEST_SKIP() << tool << " is not installed";
    run_setup setup;
    // A name that says nothing of the compression.
    setup.files["capture.pcap"] = packed;
    const run_result r = run_tool({"-r", "capture.pcap"}, setup);
    EXPECT_EQ(r.status, 0) << tool;
    EXPECT_EQ(r.err, "reading from file capture.pcap, using datalink type 1\n") << tool;
    ASSERT_EQ(r.files.count(f_name), 1u) << tool;
    EXPECT_EQ(r.files.at(f_name), f_content()) << tool;
    run_setup piped;
    piped.stdin_bytes = packed;
    const run_result s = run_tool({}, piped);
    EXPECT_EQ(s.status, 0) << tool;
    EXPECT_EQ(s.err, "reading from file -, using datalink type 1\n") << tool;
    EXPECT_EQ(s.files, r.files) << tool;
  }
}

TEST(Compressed, ARingOfCompressedAndPlainPieces) {
  const bytes file = transfer_file();
  const auto pieces = split_capture::in_runs(file, 4);
  run_setup setup;
  std::vector<std::string> args;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const bytes packed = i == 0 ? pieces[i] : split_capture::compressed(pieces[i], TOOLS[i]);
    if (packed.empty()) GTEST_SKIP() << TOOLS[i] << " is not installed";
    setup.files[split_capture::piece_name("ring", i)] = packed;
    args.insert(args.end(), {"-r", split_capture::piece_name("ring", i)});
  }
  const run_result r = run_tool(args, setup);
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.files.count(f_name), 1u);
  EXPECT_EQ(r.files.at(f_name), f_content());
}

// A compressed stream that ends early is a capture cut short (what was
// decompressed before the cut may be lost with it), named as such.
TEST(Compressed, ATruncatedStreamIsACutCapture) {
  const bytes packed = split_capture::compressed(transfer_file(), "gzip -c");
  if (packed.empty()) GTEST_SKIP() << "gzip is not installed";
  run_setup setup;
  setup.files["cut.gz"] = bytes(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packed.size() / 2));
  const run_result r = run_tool({"-r", "cut.gz"}, setup);
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("\\[error\\] unable to open pcap file cut.gz: .+\n|"
                                                 "reading from file cut.gz, .+\n\\[error\\] failed processing .+\n")))
      << r.err;
}

}  // namespace
