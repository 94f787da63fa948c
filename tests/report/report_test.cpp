// SPDX-License-Identifier: BSD-2-Clause
// The report: one JSON line per transfer as it ends, then a summary. Each
// case writes it to standard output (--report -) and checks it whole.

#include <openssl/evp.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>

#include "tftp_golden.h"

namespace golden {
namespace {

std::string sha256_hex(const bytes &content) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_Digest(content.data(), content.size(), digest, &length, EVP_sha256(), nullptr);
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < length; ++i) out += std::string{digits[digest[i] >> 4], digits[digest[i] & 15]};
  return out;
}

// Capture times: the builder stamps frame k at 1700000000 s + k ms.
std::string at(int frame) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "\"2023-11-14T22:13:20.%03d000Z\"", frame);
  return buf;
}

// The fields of one transfer line that differ between the cases.
struct line_t {
  std::string server = "10.0.0.2:3000";
  std::string op = "read";
  std::string filename = "\"f\"";
  std::string options = "{}";
  std::string accepted = "null";
  int blksize = 512;
  int windowsize = 1;
  std::string tsize = "null";
  std::string output = "\"" + sample_name + "\"";
  std::string state = "\"complete\"";  // with its error or reason, if any
  std::uint64_t bytes = 0;
  std::string missing = "{\"ranges\":[],\"end_seen\":true}";
  std::string extra;  // tsize_matches
  std::string sha256 = "null";
  int first = 0, last = 0;  // frames
  int blocks = 0, retransmitted = 0;
  int requests = 1;
  std::string max_gap = "0.001000";  // one frame's gap, when it has two
  std::string errors;  // the list, when the transfer saw ERRORs
};

// The Community IDs of the sample's flows: its data flow (10.0.0.1:1025 to
// 10.0.0.2:3000) and its request flow (to port 69).
const std::string DATA_FLOW_ID = "1:yAJpjTvQwzSpHaLcLy7w9RD+lpk=";
const std::string REQUEST_FLOW_ID = "1:Ky/QhuJzh+AkPqNZCyW6Abjtg8k=";

// Seconds with six decimals, from a count of frames 1 ms apart.
std::string frame_seconds(int frames) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.%06d", frames / 1000, frames % 1000 * 1000);
  return buf;
}

std::string transfer_line(const line_t &l) {
  return "{\"type\":\"transfer\",\"requester\":\"10.0.0.1:1025\",\"server\":\"" + l.server + "\",\"op\":\"" + l.op +
         "\",\"filename\":" + l.filename + ",\"mode\":\"octet\",\"options\":" + l.options +
         ",\"accepted\":" + l.accepted + ",\"blksize\":" + std::to_string(l.blksize) +
         ",\"windowsize\":" + std::to_string(l.windowsize) + ",\"tsize\":" + l.tsize + ",\"output\":" + l.output +
         ",\"state\":" + l.state + ",\"bytes\":" + std::to_string(l.bytes) + ",\"missing\":" + l.missing + l.extra +
         ",\"sha256\":" + l.sha256 + ",\"first_time\":" + at(l.first) + ",\"last_time\":" + at(l.last) +
         ",\"blocks\":" + std::to_string(l.blocks) + ",\"retransmitted\":" + std::to_string(l.retransmitted) +
         ",\"requests\":" + std::to_string(l.requests) + ",\"request_to\":\"10.0.0.2:69\",\"duration\":" +
         frame_seconds(l.last - l.first) + ",\"ts\":1700000000." + frame_seconds(l.first).substr(2) +
         ",\"max_gap\":" + (l.last > l.first ? l.max_gap : "0.000000") + ",\"community_id\":\"" +
         (l.server == "10.0.0.2:3000" ? DATA_FLOW_ID : REQUEST_FLOW_ID) + "\",\"request_community_id\":\"" +
         REQUEST_FLOW_ID + "\"" + l.errors + "}\n";
}

// The run record, whatever its start time, then `lines`.
text_check report(const std::vector<std::string> &args, const std::string &lines) {
  std::string arguments;
  for (const std::string &a : args) arguments += (arguments.empty() ? "\"" : ",\"") + a + "\"";
  const std::string input = args.size() > 1 && args[0] == "-r" ? args[1] : "-";
  return matches(quote("{\"type\":\"run\",\"version\":\"" TFTPCARVE_VERSION "\",\"inputs\":[\"" + input +
                       "\"],\"filter\":\"udp\",\"arguments\":[" + arguments + "],\"start\":\"") +
                 "[-0-9T:.]+Z\",\"start_ts\":[0-9]+\\.[0-9]{6}}\n" + quote(lines));
}

std::string summary(int complete, int incomplete, int error, int failed, int files, std::uint64_t bytes, int warnings,
                    int frames, int unanswered = 0) {
  return "{\"type\":\"summary\",\"transfers\":{\"complete\":" + std::to_string(complete) +
         ",\"incomplete\":" + std::to_string(incomplete) + ",\"error\":" + std::to_string(error) +
         ",\"failed\":" + std::to_string(failed) + ",\"unanswered\":" + std::to_string(unanswered) + "},\"files\":" + std::to_string(files) +
         ",\"bytes\":" + std::to_string(bytes) + ",\"warnings\":" + std::to_string(warnings) +
         ",\"frames\":" + std::to_string(frames) + "}\n";
}

std::string quoted_sha(const bytes &content) { return "\"" + sha256_hex(content) + "\""; }

bytes block(int n) { return fill(512, static_cast<std::uint8_t>('a' + n - 1)); }

std::vector<golden_case> report_cases() {
  std::vector<golden_case> c;
  {
    line_t l;
    l.bytes = 515;
    l.sha256 = quoted_sha(sample_content());
    l.last = 3;  // its last block: the ACK after it comes once it is told
    l.blocks = 2;
    c.push_back({.name = "Complete",
                 .capture = sample_transfer(),
                 .args = with_input({"--report", "-"}),
                 .out = report(with_input({"--report", "-"}), transfer_line(l) + summary(1, 0, 0, 0, 1, 515, 0, 5)),
                 .err = reading(),
                 .files = {{sample_name, sample_content()}}});
  }
  {
    // Block 2 never seen, its acknowledgement proved by block 3: a hole.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, block(1)));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(3, text("end")));
    const bytes content = block(1) + fill(512, 0) + text("end");
    line_t l;
    l.state = "\"incomplete\"";
    l.bytes = 515;
    l.missing = "{\"ranges\":[[512,1024]],\"end_seen\":true}";
    l.sha256 = quoted_sha(content);
    l.last = 3;
    l.blocks = 2;
    c.push_back(run("Hole", cap, {"--report", "-"}, report(with_input({"--report", "-"}), transfer_line(l) + summary(0, 1, 0, 0, 1, 515, 1, 4)),
                    reading() + warning("missing content in file: " + sample_name + ": [512, 1024)"),
                    {{sample_name, content}}));
  }
  {
    // Cut off after block 1: the end was never seen; the size the server
    // announced says what is still missing.
    capture cap;
    cap.udp(client, server, tftp::rrq("f", "octet", {{"tsize", "0"}}));
    cap.udp(server_tid, client, tftp::oack({{"tsize", "2000"}}));
    cap.udp(client, server_tid, tftp::ack(0));
    cap.udp(server_tid, client, tftp::data(1, block(1)));
    cap.udp(client, server_tid, tftp::ack(1));
    line_t l;
    l.options = "{\"tsize\":\"0\"}";
    l.accepted = "{\"tsize\":\"2000\"}";
    l.tsize = "2000";
    l.state = "\"incomplete\"";
    l.bytes = 512;
    l.missing = "{\"ranges\":[[512,2000]],\"end_seen\":false}";
    l.sha256 = quoted_sha(block(1));
    l.last = 4;
    l.blocks = 1;
    c.push_back(run("EndNotSeen", cap, {"--report", "-"}, report(with_input({"--report", "-"}), transfer_line(l) + summary(0, 1, 0, 0, 1, 512, 1, 5)),
                    reading() + warning("possible partial content for file: " + sample_name),
                    {{sample_name, block(1)}}));
  }
  {
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::error(1, "File not found"));
    line_t l;
    l.output = "null";
    l.state = "\"error\",\"error\":{\"code\":1,\"message\":\"File not found\"}";
    l.missing = "{\"ranges\":[],\"end_seen\":false}";
    l.errors = ",\"errors\":[{\"code\":1,\"message\":\"File not found\"}]";
    l.last = 1;
    c.push_back(run("Error", cap, {"--report", "-"}, report(with_input({"--report", "-"}), transfer_line(l) + summary(0, 0, 1, 0, 0, 0, 0, 2)), reading()));
  }
  {
    // A window of 4 blocks, acknowledged as a whole, one block sent twice.
    capture cap;
    cap.udp(client, server, tftp::rrq("f", "octet", {{"windowsize", "4"}}));
    cap.udp(server_tid, client, tftp::oack({{"windowsize", "4"}}));
    cap.udp(client, server_tid, tftp::ack(0));
    for (int n = 1; n <= 3; ++n) cap.udp(server_tid, client, tftp::data(static_cast<std::uint16_t>(n), block(n)));
    cap.udp(server_tid, client, tftp::data(3, block(3)));
    cap.udp(server_tid, client, tftp::data(4, text("end")));
    cap.udp(client, server_tid, tftp::ack(4));
    const bytes content = block(1) + block(2) + block(3) + text("end");
    line_t l;
    l.options = "{\"windowsize\":\"4\"}";
    l.accepted = "{\"windowsize\":\"4\"}";
    l.windowsize = 4;
    l.bytes = content.size();
    l.sha256 = quoted_sha(content);
    l.last = 7;
    l.blocks = 4;
    l.retransmitted = 1;
    c.push_back(run("Windowed", cap, {"--report", "-"}, report(with_input({"--report", "-"}), transfer_line(l) + summary(1, 0, 0, 0, 1, content.size(), 0, 9)),
                    reading(), {{sample_name, content}}));
  }
  {
    // Bytes that are not UTF-8 keep their value as surrogate escapes; a
    // valid sequence stays as it is.
    capture cap;
    cap.udp(client, server, tftp::rrq("caf\xe9-\xc3\xa9"));
    cap.udp(server_tid, client, tftp::data(1, text("x")));
    line_t l;
    l.filename = "\"caf\\udce9-\xc3\xa9\"";
    l.output = "\"" + out_name(client, server_tid, "caf____") + "\"";
    l.bytes = 1;
    l.sha256 = quoted_sha(text("x"));
    l.last = 1;
    l.blocks = 1;
    c.push_back(run("NameNotUtf8", cap, {"--report", "-"}, report(with_input({"--report", "-"}), transfer_line(l) + summary(1, 0, 0, 0, 1, 1, 0, 2)),
                    reading(), {{out_name(client, server_tid, "caf____"), text("x")}}));
  }
  {
    // Something of the output's name exists and -f is not given: the
    // output fails.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, text("x")));
    line_t l;
    l.output = "null";
    l.state = "\"failed\",\"reason\":\"File exists\"";
    l.missing = "{\"ranges\":[],\"end_seen\":false}";
    l.last = 1;
    l.blocks = 1;
    golden_case g = run("Failed", cap, {"--report", "-"}, report(with_input({"--report", "-"}), transfer_line(l) + summary(0, 0, 0, 1, 0, 0, 1, 2)),
                        reading() + warning("unable to open file [" + sample_name + "]: File exists"));
    g.dirs = {sample_name};
    c.push_back(g);
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(Report, Golden, ::testing::ValuesIn(report_cases()), case_name());

// -o: the files go into the folder, the report names them within it; a
// folder that cannot be used ends the run before the capture is read.
TEST(OutputFolder, FilesGoIntoTheFolder) {
  char folder[] = "/tmp/tftpcarve-out.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  run_setup setup;
  setup.files["in.pcap"] = sample_transfer();
  const run_result r = run_tool({"-r", "in.pcap", "-o", folder, "--report", "r.jsonl"}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading());
  // Nothing in the current directory but the report, which names the file
  // within the folder.
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_NE(as_text(r.files.at("r.jsonl")).find("\"output\":\"" + sample_name + "\""), std::string::npos);
  const std::string path = std::string(folder) + "/" + sample_name;
  std::FILE *f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  bytes content(4096);
  content.resize(std::fread(content.data(), 1, content.size(), f));
  std::fclose(f);
  EXPECT_EQ(content, sample_content());
  std::remove(path.c_str());
  rmdir(folder);
}

TEST(OutputFolder, MissingFolderIsMadeForTheUserAlone) {
  char base[] = "/tmp/tftpcarve-made.XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  const std::string folder = std::string(base) + "/a/b";
  run_setup setup;
  setup.files["in.pcap"] = sample_transfer();
  const run_result r = run_tool({"-r", "in.pcap", "-o", folder}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading());
  struct stat info{};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  const std::string path = folder + "/" + sample_name;
  EXPECT_EQ(stat(path.c_str(), &info), 0);
  std::remove(path.c_str());
  rmdir(folder.c_str());
  rmdir((std::string(base) + "/a").c_str());
  rmdir(base);
}

TEST(LongOptions, VersionAndHelp) {
  const run_result v = run_tool({"--version"});
  EXPECT_EQ(v.status, 0);
  // The first line as it always was; a build from a git work tree adds the
  // commit on a second line.
  const std::string first = "tftpcarve " TFTPCARVE_VERSION "\n";
  EXPECT_EQ(v.out.substr(0, first.size()), first);
  EXPECT_TRUE(std::regex_match(v.out.substr(std::min(first.size(), v.out.size())), std::regex("(commit [0-9a-f]{40}\n)?")))
      << v.out;
  const run_result h = run_tool({"--help"});
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out, usage);
  // Still stopping at the first word that is not an option.
  run_setup setup;
  setup.files["in.pcap"] = sample_transfer();
  const run_result w = run_tool({"-r", "in.pcap", "port", "--report", "-"}, setup);
  EXPECT_EQ(w.status, 2);
}

// A report path that is an input would empty the capture before it is
// read: refused before anything is opened for writing, whichever way the
// path names it.
TEST(ReportPath, InputRefused) {
  const struct {
    std::vector<std::string> args;
    std::string shown;
  } cases[] = {
      {{"-r", "in.pcap", "--report", "in.pcap"}, "in.pcap"},
      {{"-r", "in.pcap", "--report", "./in.pcap"}, "./in.pcap"},
      {{"-r", "in.pcap", "--report", "dir/../in.pcap"}, "dir/../in.pcap"},
      {{"--report", "link.pcap", "-r", "in.pcap"}, "link.pcap"},
      {{"-r", "other.pcap", "-r", "in.pcap", "--report", "in.pcap"}, "in.pcap"},
  };
  for (const auto &c : cases) {
    run_setup setup;
    setup.files["in.pcap"] = sample_transfer();
    setup.files["other.pcap"] = sample_transfer();
    setup.dirs = {"dir"};
    setup.symlinks["link.pcap"] = "in.pcap";
    const run_result r = run_tool(c.args, setup);
    EXPECT_EQ(r.status, 2) << c.shown;
    EXPECT_EQ(r.err, error("unable to write the report to " + c.shown + ": it is an input"));
    EXPECT_TRUE(r.files.empty()) << c.shown;  // the capture as it was, and no file carved
  }
}

// Standard input is an input too, when it is a file.
TEST(ReportPath, StandardInputRefused) {
  char path[] = "/tmp/tftpcarve-stdin.XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const bytes capture = sample_transfer();
  ASSERT_EQ(write(fd, capture.data(), capture.size()), static_cast<ssize_t>(capture.size()));
  close(fd);
  const std::string command = std::string(tool_path()) + " --report " + path + " < " + path + " 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 2);
  struct stat info{};
  ASSERT_EQ(stat(path, &info), 0);
  EXPECT_EQ(static_cast<std::size_t>(info.st_size), capture.size());
  std::remove(path);
}

// The report holds the names and addresses the files do: like them, it is
// readable by its owner alone. A report that is not an input is written.
TEST(ReportPath, CreatedOwnerOnly) {
  run_setup setup;
  setup.files["in.pcap"] = sample_transfer();
  const run_result r = run_tool({"-r", "in.pcap", "--report", "r.jsonl"}, setup);
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.modes.count("r.jsonl"), 1u);
  EXPECT_EQ(r.modes.at("r.jsonl") & 0777, 0600u);
  EXPECT_EQ(r.modes.at(sample_name) & 0777, 0600u);
}

TEST(LongOptions, ReportToStandardOutputRefusedWithConsole) {
  run_setup setup;
  setup.files["in.pcap"] = sample_transfer();
  const run_result r = run_tool({"-c", "--report", "-", "-r", "in.pcap"}, setup);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, error("unable to write the report to standard output with -c"));
}

}  // namespace
}  // namespace golden

namespace golden {
namespace {

// The first 16 hexadecimal digits of the SHA-256 of a requested name.
std::string name_digest(const std::string &filename) { return sha256_hex(text(filename)).substr(0, 16); }

// Names over the file system's limit of 255 bytes are shortened in their
// file-name part, the endpoint part whole, and end in "~" and a digest of
// the whole requested name; two long names that share their first 200
// bytes stay apart, and the report gives both names.
TEST(LongNames, ShortenedWithDigest) {
  const std::string common(200, 'a');
  const std::string first = common + std::string(40, 'b');
  const std::string second = common + std::string(40, 'c');
  const endpoint tid2{"10.0.0.2", 3001};
  const endpoint client2{"10.0.0.1", 1026};
  capture cap;
  cap.udp(client, server, tftp::rrq(first));
  cap.udp(server_tid, client, tftp::data(1, text("one")));
  cap.udp(client2, server, tftp::rrq(second));
  cap.udp(tid2, client2, tftp::data(1, text("two")));
  run_setup setup;
  setup.files["in.pcap"] = cap.file();
  const run_result r = run_tool({"-r", "in.pcap", "--report", "-"}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading());
  // 43 characters of endpoints, "-", 194 of the name, "~", 16 digits.
  const std::string name1 = out_name(client, server_tid, first.substr(0, 194)) + "~" + name_digest(first);
  const std::string name2 = out_name(client2, tid2, second.substr(0, 194)) + "~" + name_digest(second);
  EXPECT_EQ(name1.size(), 255u);
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files.at(name1), text("one"));
  EXPECT_EQ(r.files.at(name2), text("two"));
  EXPECT_NE(r.out.find("\"filename\":\"" + first + "\""), std::string::npos);
  EXPECT_NE(r.out.find("\"output\":\"" + name1 + "\""), std::string::npos);
  // A name that fits is left as it is.
  capture fits;
  fits.udp(client, server, tftp::rrq(std::string(211, 'x')));
  fits.udp(server_tid, client, tftp::data(1, text("x")));
  setup.files["in.pcap"] = fits.file();
  const run_result f = run_tool({"-r", "in.pcap"}, setup);
  EXPECT_EQ(f.files.count(out_name(client, server_tid, std::string(211, 'x'))), 1u);
}

}  // namespace
}  // namespace golden
