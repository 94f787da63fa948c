// SPDX-License-Identifier: BSD-2-Clause
// The command line, the capture run from opening to exit status, and the
// diagnostic log's prefixes and levels.

#include "golden.h"

namespace golden {
namespace {

// A request, then a packet with a wrong IP header checksum: at debug level 3
// or more the allowed checksum is reported.
bytes bad_ip_checksum_capture() {
  capture cap;
  auto p = ipv4("10.0.0.1", "10.0.0.2", udp(1025, 69, tftp::rrq("f")));
  p.id = 7;
  p.checksum = ip_sum::zero;
  cap.packet(p.build());
  return cap.file();
}

// Read requests sent to port 69 and to port 70 (both are requests: ports play
// no part in recognising one).
bytes two_ports_capture() {
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(client, {"10.0.0.2", 70}, tftp::rrq("g"));
  return cap.file();
}

// A transfer cut off in the middle of its last record: DATA 1, ACK 1 and a
// full DATA 2 made it, DATA 3 did not.
bytes cut_transfer_capture() {
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
  cap.udp(client, server_tid, tftp::ack(1));
  cap.udp(server_tid, client, tftp::data(2, fill(512, 'b')));
  cap.udp(server_tid, client, tftp::data(3, text("rest")));
  return cap.file_cut(2);
}

bytes tcp_segment_to_port_69() {
  const bytes tcp = be16(1025) + be16(69) + be32(1) + be32(0) + bytes{0x50, 0x02} + be16(1024) + be16(0) + be16(0);
  auto p = ipv4("10.0.0.1", "10.0.0.2", tcp);
  p.protocol = 6;
  p.id = 9;
  return p.build();
}

bytes one_request_capture() {
  capture cap;
  cap.packet(read_request());
  return cap.file();
}

std::vector<golden_case> cases() {
  const std::string libpcap_text = ".+\n";
  const std::string getopt_complaint = ".+\n";
  std::vector<golden_case> c;

  c.push_back({.name = "HelpPrintsUsageAndExitsZero", .args = {"-h"}, .status = 0, .out = usage, .err = ""});
  c.push_back({.name = "UnknownOptionComplainsThenUsage",
               .args = {"-x"},
               .status = 1,
               .out = usage,
               .err = matches(getopt_complaint)});
  // The last -h or bad option decides the usage status.
  c.push_back({.name = "HelpThenUnknownExitsOne",
               .args = {"-h", "-x"},
               .status = 1,
               .out = usage,
               .err = matches(getopt_complaint)});
  c.push_back({.name = "UnknownThenHelpExitsZero",
               .args = {"-x", "-h"},
               .status = 0,
               .out = usage,
               .err = matches(getopt_complaint)});
  c.push_back({.name = "ReadWithoutArgument", .args = {"-r"}, .status = 1, .out = usage, .err = matches(getopt_complaint)});
  c.push_back({.name = "DebugWithoutArgument",
               .args = {"-d"},
               .status = 1,
               .out = usage,
               .err = matches(getopt_complaint)});
  // The usage comes after parsing, and parsing tests every -r at once.
  c.push_back({.name = "MissingFileBeatsHelp",
               .args = {"-r", "nosuchfile", "-h"},
               .status = 2,
               .out = "",
               .err = error("unable to access file nosuchfile: No such file or directory")});
  c.push_back({.name = "EveryReadFileIsTested",
               .capture = one_request_capture(),
               .args = {"-r", "nosuchfile", "-r", "in.pcap"},
               .status = 2,
               .out = "",
               .err = error("unable to access file nosuchfile: No such file or directory")});
  c.push_back({.name = "DirectoryPassesStatButFailsToOpen",
               .args = {"-r", "adir"},
               .status = 2,
               .out = "",
               .err = matches(quote("[error] unable to open pcap file adir: ") + libpcap_text),
               .dirs = {"adir"}});
  // Every -r is read, the captures merged by time; at the same time, in the
  // order given.
  {
    capture other;
    other.udp({"10.0.0.1", 1026}, server, tftp::rrq("g"));
    c.push_back({.name = "EveryReadFileIsRead",
                 .capture = one_request_capture(),
                 .args = {"-r", "-", "-r", "in.pcap", "-v"},
                 .status = 0,
                 .out = "READ  10.0.0.1:1026 > 10.0.0.2:69 \"g\" octet\n" + read_line,
                 .err = reading(1, "-") + reading(),
                 .stdin_bytes = other.file()});
  }

  // Standard input: without -r, and with -r -.
  c.push_back({.name = "NoArgumentsReadsStandardInput",
               .args = {},
               .status = 0,
               .out = "",
               .err = reading(1, "-"),
               .files = {{sample_name, sample_content()}},
               .stdin_bytes = sample_transfer()});
  c.push_back({.name = "DashReadsStandardInput",
               .args = {"-r", "-", "-v"},
               .status = 0,
               .out = read_line,
               .err = reading(1, "-"),
               .files = {{sample_name, sample_content()}},
               .stdin_bytes = sample_transfer()});
  c.push_back({.name = "EmptyStandardInputCannotBeOpened",
               .args = {},
               .status = 2,
               .out = "",
               .err = matches(quote("[error] unable to open pcap file -: ") + libpcap_text)});

  // A full transfer from a file, and an empty capture.
  c.push_back({.name = "TransferFromFile",
               .capture = sample_transfer(),
               .args = with_input(),
               .status = 0,
               .out = "",
               .err = reading(),
               .files = {{sample_name, sample_content()}}});
  {
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, text("end")));
    cap.udp(client, server_tid, tftp::ack(2));
    c.push_back({.name = "TransferFromPcapng",
                 .capture = cap.file_pcapng(),
                 .args = with_input({"-v"}),
                 .status = 0,
                 .out = read_line,
                 .err = reading(),
                 .files = {{sample_name, sample_content()}}});
  }
  c.push_back({.name = "HeaderOnlyCapture",
               .capture = capture().file(),
               .args = with_input({"-v", "-v", "-v"}),
               .status = 0,
               .out = "",
               .err = reading()});

  // Filter words: everything after the first non-option.
  c.push_back({.name = "FilterWordsNarrowTheCapture",
               .capture = two_ports_capture(),
               .args = with_input({"-v", "port", "69"}),
               .status = 0,
               .out = read_line,
               .err = reading()});
  c.push_back({.name = "WithoutFilterWordsEveryUdpDatagramCounts",
               .capture = two_ports_capture(),
               .args = with_input({"-v"}),
               .status = 0,
               .out = read_line + "READ  10.0.0.1:1025 > 10.0.0.2:70 \"g\" octet\n",
               .err = reading()});
  c.push_back({.name = "OptionAfterFilterWordIsAFilterWord",
               .capture = two_ports_capture(),
               .args = with_input({"port", "69", "-v"}),
               .status = 2,
               .out = "",
               .err = matches(quote(reading() + "[error] unable to compile pcap filter udp and port 69 -v: ") +
                              libpcap_text)});
  c.push_back({.name = "DoubleDashEndsOptions",
               .capture = two_ports_capture(),
               .args = with_input({"-v", "--", "port", "70"}),
               .status = 0,
               .out = "READ  10.0.0.1:1025 > 10.0.0.2:70 \"g\" octet\n",
               .err = reading()});
  c.push_back({.name = "FilterThatDoesNotCompile",
               .capture = two_ports_capture(),
               .args = with_input({"port"}),
               .status = 2,
               .out = "",
               .err = matches(quote(reading() + "[error] unable to compile pcap filter udp and port: ") + libpcap_text)});
  {
    // No parentheses are added: "udp and host 10.0.0.1 or port 69" lets a
    // TCP segment to port 69 through, and the IPv4 decoder drops it.
    capture cap;
    cap.packet(tcp_segment_to_port_69());
    c.push_back({.name = "FilterWordsJoinWithoutParentheses",
                 .capture = cap.file(),
                 .args = with_input({"host", "10.0.0.1", "or", "port", "69"}),
                 .status = 0,
                 .out = "",
                 .err = reading() + warning("unexpected protocol 6; not udp")});
  }

  // Link type without a handler: no "reading from file" line.
  {
    capture cap(105);
    cap.frame(fill(40, 0));
    c.push_back({.name = "UnsupportedLinkType",
                 .capture = cap.file(),
                 .args = with_input(),
                 .status = 2,
                 .out = "",
                 .err = error("unable to find handler for type 105")});
  }

  // A capture cut off in a record: the loop fails, the end-of-run pass still
  // runs (the open file gets its warning and the pending block 2, which
  // directly follows the acknowledged block 1), and the status is 1.
  c.push_back({.name = "CutOffCaptureFailsTheLoop",
               .capture = cut_transfer_capture(),
               .args = with_input(),
               .status = 1,
               .out = "",
               .err = matches(quote(reading() + "[error] failed processing packets: ") + ".+\n" +
                              quote(warning("possible partial content for file: " + sample_name))),
               .files = {{sample_name, fill(512, 'a') + fill(512, 'b')}}});

  // Every frame read before the failure is handled before it is reported:
  // the debug lines of the ACK and of the file's creation come first.
  c.push_back({.name = "CutOffCaptureHandlesFramesBeforeFailing",
               .capture = cut_transfer_capture(),
               .args = with_input({"-d", "5"}),
               .status = 1,
               .out = "",
               .err = matches(quote(reading()) + "\\[debug\\] created new request [^\n]*\n" +
                              quote(debug("ack for read; block=1, last_block=1, last_ack=0") +
                                    debug("opening file: " + sample_name + ", mode: wb") +
                                    "[error] failed processing packets: ") +
                              ".+\n" + quote(warning("possible partial content for file: " + sample_name))),
               .files = {{sample_name, fill(512, 'a') + fill(512, 'b')}}});

  // -d: negative values warn and keep the level; a non-numeric one gives 0.
  c.push_back({.name = "NegativeDebugLevelWarns",
               .capture = bad_ip_checksum_capture(),
               .args = with_input({"-d", "-1"}),
               .status = 0,
               .out = "",
               .err = warning("bad debug-level: -1; setting to 0") + reading()});
  c.push_back({.name = "NegativeDebugLevelKeepsEarlierLevel",
               .capture = bad_ip_checksum_capture(),
               .args = with_input({"-d", "3", "-d", "-5"}),
               .status = 0,
               .out = "",
               .err = warning("bad debug-level: -5; setting to 3") + reading() +
                      debug("allowing invalid ip checksum; checksum=be66")});
  c.push_back({.name = "NonNumericDebugLevelIsZero",
               .capture = bad_ip_checksum_capture(),
               .args = with_input({"-d", "3", "-d", "abc"}),
               .status = 0,
               .out = "",
               .err = reading()});

  // Debug levels: a message shows when the level is at least its own.
  c.push_back({.name = "LevelSixMessageAtLevelSix",
               .capture = one_request_capture(),
               .args = with_input({"-d", "6"}),
               .status = 0,
               .out = "",
               .err = matches(quote(reading() + debug("found tftp request; op: 1, filename: f, mode: octet")) +
                              "\\[debug\\] created new request \\[[0-9a-f]+\\]; a000001:1025 > a000002:69\n")});
  c.push_back({.name = "LevelSixMessageNotAtLevelFive",
               .capture = one_request_capture(),
               .args = with_input({"-d", "5"}),
               .status = 0,
               .out = "",
               .err = matches(quote(reading()) + "\\[debug\\] created new request \\[[0-9a-f]+\\]; a000001:1025 > a000002:69\n")});

  // -v counts without limit; four act like three.
  {
    capture cap;
    cap.packet(read_request());
    cap.udp(client, {"10.0.0.2", 4000}, text("hello"));
    c.push_back({.name = "FourVerboseActLikeThree",
                 .capture = cap.file(),
                 .args = with_input({"-v", "-v", "-v", "-v"}),
                 .status = 0,
                 .out = read_line + "XXX   10.0.0.1:1025 > 10.0.0.2:4000 \n",
                 .err = reading()});
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Golden, ::testing::ValuesIn(cases()), case_name());

}  // namespace
}  // namespace golden
