// SPDX-License-Identifier: BSD-2-Clause
// Several captures read as one (-r repeated, -V): their frames merged by
// capture time, each file with its own link type and filter, announced as
// one file is, and opened only when the merge reaches it.

#include <gtest/gtest.h>

#include <regex>

#include "split_capture.h"

namespace {

using namespace capture_builder;
using split_capture::piece_name;

const endpoint client{"10.0.0.1", 1025}, server{"10.0.0.2", 69}, server_tid{"10.0.0.2", 3000};
const std::string f_name = "010.000.000.001.01025-010.000.000.002.03000-f";

// A read of "f" in `blocks` full blocks and a short one, with a duplicated
// DATA: one transfer that any misordering of frames would show.
capture transfer(std::uint32_t link_type = link::ethernet, const endpoint &who = client, const char *name = "f",
                 int blocks = 12) {
  capture cap(link_type);
  const endpoint tid{server_tid.addr, static_cast<std::uint16_t>(3000 + who.port - client.port)};
  cap.udp(who, server, tftp::rrq(name));
  for (int b = 1; b <= blocks + 1; ++b) {
    const bytes content = b <= blocks ? pattern(512, static_cast<std::uint8_t>(b)) : text("the end");
    cap.udp(tid, who, tftp::data(static_cast<std::uint16_t>(b), content));
    if (b == 4) cap.udp(tid, who, tftp::data(4, content));
    cap.udp(who, tid, tftp::ack(static_cast<std::uint16_t>(b)));
  }
  return cap;
}

std::string reading(const std::string &path, int link_type = 1) {
  return "reading from file " + path + ", using datalink type " + std::to_string(link_type) + "\n";
}

// The trace and files of the whole capture, read as one file.
run_result whole(const bytes &file, std::vector<std::string> extra = {"-vv"}) {
  run_setup setup;
  setup.files["whole.pcap"] = file;
  extra.insert(extra.begin(), {"-r", "whole.pcap"});
  return run_tool(extra, setup);
}

void expect_same_as_whole(const run_result &r, const run_result &w) {
  EXPECT_EQ(r.out, w.out);
  EXPECT_EQ(r.files, w.files);
  EXPECT_FALSE(r.files.empty());
}

TEST(SeveralCaptures, RingGivenInAnyOrderComesBackWhole) {
  const bytes file = transfer().file();
  run_setup setup;
  const auto pieces = split_capture::in_runs(file, 5);
  std::string announced;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    setup.files[piece_name("ring", i)] = pieces[i];
    announced += reading(piece_name("ring", i));
  }
  const run_result r = run_tool({"-vv", "-r", "ring03", "-r", "ring01", "-r", "ring00", "-r", "ring04", "-r", "ring02"},
                                setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, announced);
  expect_same_as_whole(r, whole(file));
}

TEST(SeveralCaptures, SensorsThatEachSawSomeFramesInterleave) {
  const bytes file = transfer().file();
  run_setup setup;
  const auto pieces = split_capture::dealt(file, 3);
  for (std::size_t i = 0; i < pieces.size(); ++i) setup.files[piece_name("sensor", i)] = pieces[i];
  // Blank lines are skipped; the list is read from standard input with "-".
  setup.stdin_bytes = text("sensor02\n\nsensor00\nsensor01\n");
  const run_result r = run_tool({"-vv", "-V", "-"}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading("sensor00") + reading("sensor01") + reading("sensor02"));
  expect_same_as_whole(r, whole(file));
}

TEST(SeveralCaptures, EachFileKeepsItsLinkTypeAndFilter) {
  const endpoint other{"10.0.0.1", 1026};
  run_setup setup;
  setup.files["eth.pcap"] = transfer(link::ethernet).file();
  setup.files["list"] = text("eth.pcap\ncooked.pcap\n");
  setup.files["cooked.pcap"] = transfer(link::linux_sll, other, "g").file();
  // The filter words are compiled for each link type.
  const run_result r = run_tool({"-V", "list", "udp", "port", "69", "or", "portrange", "3000-3001"}, setup);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading("eth.pcap") + reading("cooked.pcap", 113));
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files.count(f_name), 1u);
  EXPECT_EQ(r.files.count("010.000.000.001.01026-010.000.000.002.03001-g"), 1u);
}

TEST(SeveralCaptures, StandardInputAmongFilesAndAnEmptyFileInItsPlace) {
  const bytes file = transfer().file();
  const auto pieces = split_capture::in_runs(file, 3);
  run_setup setup;
  setup.stdin_bytes = pieces[0];
  setup.files["empty"] = bytes(pieces[0].begin(), pieces[0].begin() + 24);
  setup.files["p1"] = pieces[1];
  setup.files["p2"] = pieces[2];
  const run_result r = run_tool({"-vv", "-r", "p2", "-r", "-", "-r", "empty", "-r", "p1"}, setup);
  EXPECT_EQ(r.status, 0);
  // A file without frames is announced after the file listed before it.
  EXPECT_EQ(r.err, reading("-") + reading("empty") + reading("p1") + reading("p2"));
  expect_same_as_whole(r, whole(file));
}

// A ring of many files needs few descriptors: each file is opened when the
// merge reaches it and closed at its end.
TEST(SeveralCaptures, ManyFilesUnderALowDescriptorLimit) {
  const bytes file = transfer(link::ethernet, client, "f", 150).file();
  const auto pieces = split_capture::in_runs(file, 200);
  run_setup setup;
  std::string list;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    setup.files[piece_name("r", i) + ".pcap"] = pieces[i];
    list += piece_name("r", i) + ".pcap\n";
  }
  setup.files["list"] = text(list);
  setup.open_files_limit = 16;
  const run_result r = run_tool({"-V", "list"}, setup);
  EXPECT_EQ(r.status, 0) << r.err;
  const run_result w = whole(file, {});
  EXPECT_EQ(r.files, w.files);
}

TEST(SeveralCaptures, FilesThatCannotBeReadAreNamed) {
  const bytes file = transfer().file();
  const auto pieces = split_capture::in_runs(file, 3);
  struct error_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string err;  // a regular expression
  };
  const std::vector<error_case> cases = {
      {"missing in a list", {"-V", "list-missing"}, 2,
       "\\[error\\] unable to access file nothere: No such file or directory\n"},
      {"missing list", {"-r", "p0", "-V", "nolist"}, 2,
       "\\[error\\] unable to access file nolist: No such file or directory\n"},
      {"not a capture", {"-r", "p0", "-r", "garbage"}, 2, "\\[error\\] unable to open pcap file garbage: .+\n"},
      // The rest of the ring is still read.
      {"cut in the middle", {"-r", "p0", "-r", "cut", "-r", "p2"}, 1,
       "reading from file p0, using datalink type 1\nreading from file cut, using datalink type 1\n"
       "\\[error\\] failed processing packets: cut: .+\nreading from file p2, using datalink type 1\n"
       "(\\[warning\\] missing content .+\n)+"},
      {"live and files", {"-r", "p0", "-i", "lo"}, 2,
       "\\[error\\] unable to read capture files and capture live at once\n"},
  };
  run_setup setup;
  setup.files["p0"] = pieces[0];
  setup.files["p2"] = pieces[2];
  setup.files["cut"] = bytes(pieces[1].begin(), pieces[1].end() - 5);
  setup.files["garbage"] = text("this is no capture at all");
  setup.files["list-missing"] = text("p0\nnothere\n");
  for (const error_case &c : cases) {
    const run_result r = run_tool(c.args, setup);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << c.name << ": " << r.err;
  }
}

}  // namespace
