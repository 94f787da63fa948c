// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// A golden case: a capture and a command line, with the exact standard
// output, standard error, exit status and output files that the run must
// give. Texts the platform words (getopt's complaint, libpcap's error text)
// are matched with a regular expression that fixes only the tool's own part.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture_builder.h"
#include "run_tool.h"

namespace golden {

using namespace capture_builder;

struct text_check {
  std::string text;
  bool regex = false;
  text_check() = default;
  text_check(const char *t) : text(t) {}
  text_check(std::string t) : text(std::move(t)) {}
};

// The whole text must match the ECMAScript expression.
inline text_check matches(std::string expression) {
  text_check c(std::move(expression));
  c.regex = true;
  return c;
}

struct golden_case {
  std::string name;
  bytes capture;  // placed as in.pcap when not empty
  std::vector<std::string> args;
  int status = 0;
  text_check out;
  text_check err;
  std::map<std::string, bytes> files;  // created or changed by the run
  std::optional<bytes> stdin_bytes;
  std::vector<std::string> dirs;
};

// Escapes a literal for use inside a regular expression.
std::string quote(const std::string &literal);

// "reading from file in.pcap, using datalink type 1\n"
std::string reading(int link_type = 1, const std::string &path = "in.pcap");
std::string warning(const std::string &message);
std::string debug(const std::string &message);
std::string error(const std::string &message);

// The usage text with argv[0] "tftpcarve".
extern const std::string usage;

// The endpoints of the sample transfer.
extern const endpoint client;      // 10.0.0.1:1025
extern const endpoint server;      // 10.0.0.2:69
extern const endpoint server_tid;  // 10.0.0.2:3000

// The read request of client for "f" in octet mode, as an IPv4 packet, and
// the trace line that shows it got through.
bytes read_request(std::uint16_t id = 1);
extern const std::string read_line;

// A read request for "f" whose UDP datagram is `size` bytes long (at least
// 24), padded with an unknown option; it traces as `read_line`.
bytes padded_read_request_datagram(std::size_t size);

// Filter words that widen "udp" to every frame that the "udp" test can read
// without running past the captured bytes (a load past them rejects the
// frame outright): frames of another type or family get through to the
// link-layer checks.
extern const std::vector<std::string> pass_all;

// A capture of one complete read transfer of "f" (512 + 3 bytes) and the
// file it yields.
bytes sample_transfer(std::uint32_t link_type = link::ethernet);
extern const std::string sample_name;
bytes sample_content();

// `args` with "-r in.pcap" in front.
std::vector<std::string> with_input(std::vector<std::string> args = {});

// Cases print as their names in failure reports.
void PrintTo(const golden_case &c, std::ostream *os);

class Golden : public ::testing::TestWithParam<golden_case> {};

struct case_name {
  std::string operator()(const ::testing::TestParamInfo<golden_case> &info) const { return info.param.name; }
};

}  // namespace golden
