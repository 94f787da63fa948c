// SPDX-License-Identifier: BSD-2-Clause
#include "golden.h"

#include <regex>

namespace golden {

std::string quote(const std::string &literal) {
  static const std::string special = R"(\^$.|?*+()[]{}/)";
  std::string out;
  for (char c : literal) {
    if (special.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string reading(int link_type, const std::string &path) {
  return "reading from file " + path + ", using datalink type " + std::to_string(link_type) + "\n";
}

std::string warning(const std::string &message) { return "[warning] " + message + "\n"; }
std::string debug(const std::string &message) { return "[debug] " + message + "\n"; }
std::string error(const std::string &message) { return "[error] " + message + "\n"; }

const std::string usage =
    "Usage: tftpcarve [OPTION]... [-r FILE]... [EXPRESSION]\n"
    "Reconstruct TFTP file contents from PCAP capture file.\n"
    "With no FILE, or when FILE is -, read standard input.\n"
    "   -r       PCAP file to read (repeat to read several as one; may be compressed)\n"
    "   -V FILE  read the PCAP files named in FILE, one per line\n"
    "   -i IFACE capture live on interface IFACE (any: every interface)\n"
    "   -p       do not put the interface into promiscuous mode\n"
    "   -f       overwrite existing files\n"
    "   -c       print TFTP file contents to console\n"
    "   -E       exclude TFTP filename when reconstructing\n"
    "   -6       also reconstruct TFTP over IPv6\n"
    "   -v       print verbose TFTP exchanges (repeat up to three times)\n"
    "   -X       dump TFTP packet contents\n"
    "   -B       check packets for bad checksums\n"
    "   -d       specify debugging level\n"
    "   -o DIR   write the reconstructed files into DIR\n"
    "   --report FILE  write a JSON Lines report of every transfer to FILE (- for standard output)\n"
    "   --strict   exit with status 5 when any transfer is not complete\n"
    "   --summary[=WHEN]  print a summary on standard error: auto (a terminal), always, never\n"
    "   --help     print this text\n"
    "   --version  print the version\n";

const endpoint client{"10.0.0.1", 1025};
const endpoint server{"10.0.0.2", 69};
const endpoint server_tid{"10.0.0.2", 3000};

bytes read_request(std::uint16_t id) { return udp_packet("10.0.0.1", 1025, "10.0.0.2", 69, tftp::rrq("f"), id); }

const std::string read_line = "READ  10.0.0.1:1025 > 10.0.0.2:69 \"f\" octet\n";

bytes padded_read_request_datagram(std::size_t size) {
  // 8 header bytes, then opcode, "f", "octet", "p" and the padding value.
  const std::size_t fixed = 8 + tftp::rrq("f").size() + 2 + 1;
  const bytes payload = tftp::rrq("f", "octet", {{"p", std::string(size - fixed, 'x')}});
  return udp(1025, 69, payload).build("10.0.0.1", "10.0.0.2");
}

const std::vector<std::string> pass_all{"ip", "or", "greater", "0"};

bytes sample_content() { return fill(512, 'a') + text("end"); }

bytes sample_transfer(std::uint32_t link_type) {
  capture cap(link_type);
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
  cap.udp(client, server_tid, tftp::ack(1));
  cap.udp(server_tid, client, tftp::data(2, text("end")));
  cap.udp(client, server_tid, tftp::ack(2));
  return cap.file();
}

const std::string sample_name = "010.000.000.001.01025-010.000.000.002.03000-f";

std::vector<std::string> with_input(std::vector<std::string> args) {
  args.insert(args.begin(), {"-r", "in.pcap"});
  return args;
}

void PrintTo(const golden_case &c, std::ostream *os) { *os << c.name; }

namespace {

void expect_text(const char *what, const std::string &actual, const text_check &expected) {
  if (expected.regex) {
    EXPECT_TRUE(std::regex_match(actual, std::regex(expected.text)))
        << what << " does not match\n  expression: " << expected.text << "\n  actual:     " << actual;
  } else {
    EXPECT_EQ(actual, expected.text) << what;
  }
}

}  // namespace

TEST_P(Golden, Run) {
  const golden_case &c = GetParam();
  run_setup setup;
  if (!c.capture.empty()) setup.files["in.pcap"] = c.capture;
  setup.dirs = c.dirs;
  setup.stdin_bytes = c.stdin_bytes;
  const run_result r = run_tool(c.args, setup);
  EXPECT_EQ(r.status, c.status);
  expect_text("standard output", r.out, c.out);
  expect_text("standard error", r.err, c.err);
  std::vector<std::string> names, expected_names;
  for (const auto &[name, content] : r.files) names.push_back(name);
  for (const auto &[name, content] : c.files) expected_names.push_back(name);
  EXPECT_EQ(names, expected_names) << "output files";
  for (const auto &[name, content] : c.files) {
    const auto found = r.files.find(name);
    if (found != r.files.end()) {
      EXPECT_EQ(as_text(found->second), as_text(content)) << "content of " << name;
    }
  }
}

}  // namespace golden
