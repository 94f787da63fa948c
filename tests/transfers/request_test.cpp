// SPDX-License-Identifier: BSD-2-Clause
// Request recognition, seen through the trace: a payload that is a read or
// write request shows as a READ or WRITE line with its option suffixes; one
// that is not goes on to the transfer table and shows as unmatched at -vvv.

#include "tftp_golden.h"

namespace golden {
namespace {

golden_case one_payload(std::string name, const bytes &payload, std::string out) {
  capture cap;
  cap.udp(client, server, payload);
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input({"-vvv"}),
          .status = 0,
          .out = std::move(out),
          .err = reading()};
}

std::string read_of(const std::string &rest) { return line("READ", client, server, rest); }

std::vector<golden_case> cases() {
  const std::string not_request = unmatched(client, server);
  const bytes rrq_f = tftp::rrq("f");
  std::vector<golden_case> c{
      one_payload("NineBytesIsShortest", be16(1) + cstr("f") + cstr("mail"), read_of(" \"f\" mail")),
      one_payload("WriteRequest", tftp::wrq("f"), line("WRITE", client, server, " \"f\" octet")),
      one_payload("OpcodeTwoHundredFiftySeven", bytes{1, 1} + cstr("f") + cstr("octet"), not_request),
      one_payload("OpcodeThreeWithRequestLayout", be16(3) + cstr("f") + cstr("octet"), not_request),
      one_payload("EmptyFileName", be16(1) + cstr("") + cstr("octet"), not_request),
      // Modes compare without case and are kept as sent.
      one_payload("ModeInCapitals", tftp::rrq("f", "OCTET"), read_of(" \"f\" OCTET")),
      one_payload("ModeInMixedCase", tftp::rrq("f", "NetAscii"), read_of(" \"f\" NetAscii")),
      one_payload("ModeOutsideTheThree", tftp::rrq("f", "image"), not_request),
      one_payload("EmptyMode", tftp::rrq("longer-name", ""), not_request),
      one_payload("ModeWithoutNul", be16(1) + cstr("f") + text("octet"), not_request),
      // An empty option name needs a value too.
      one_payload("OneExtraNulAfterMode", rrq_f + bytes{0}, not_request),
      one_payload("TwoExtraNulsAfterMode", rrq_f + bytes{0, 0}, read_of(" \"f\" octet")),
      // An unterminated field after a complete pair, or after the mode, is
      // ignored; one that leaves a value missing is not.
      one_payload("TrailingBytesAfterValue", tftp::rrq("f", "octet", {{"blksize", "600"}}) + text("xyz"),
                  read_of(" \"f\" octet blksize=600")),
      one_payload("TrailingBytesAfterMode", rrq_f + text("blksize"), read_of(" \"f\" octet")),
      one_payload("OptionValueMissing", rrq_f + cstr("blksize"), not_request),
      one_payload("OptionValueUnterminated", rrq_f + cstr("blksize") + text("600"), not_request),
      one_payload("UnknownOptionSkipped", tftp::rrq("f", "octet", {{"rollover", "0"}, {"tsize", "300"}}),
                  read_of(" \"f\" octet tsize=300")),
      one_payload("WindowsizeShownLast", tftp::rrq("f", "octet", {{"WindowSize", "8"}, {"tsize", "0"}}),
                  read_of(" \"f\" octet tsize=0 windowsize=8")),
      one_payload("RepeatedOptionKeepsLaterValue", tftp::rrq("f", "octet", {{"timeout", "5"}, {"timeout", "7"}}),
                  read_of(" \"f\" octet timeout=7")),
      one_payload("EmptyValueTaken", tftp::rrq("f", "octet", {{"blksize", ""}}), read_of(" \"f\" octet blksize=")),
      one_payload("ValuesNotValidated", tftp::rrq("f", "octet", {{"blksize", "abc"}}),
                  read_of(" \"f\" octet blksize=abc")),
      one_payload("OptionNamesIgnoreCase", tftp::rrq("f", "octet", {{"BlkSize", "1024"}, {"TSIZE", "0"}}),
                  read_of(" \"f\" octet blksize=1024 tsize=0")),
      // The name is traced byte for byte; only the output name is sanitised.
      one_payload("FileNameBytesUnchanged", tftp::rrq("dir/\x80\xff x"), read_of(" \"dir/\x80\xff x\" octet")),
  };

  {
    // A payload that is not a request creates no transfer: the answer that
    // follows is unmatched too.
    capture cap;
    cap.udp(client, server, tftp::rrq("f", "image"));
    cap.udp(server_tid, client, tftp::data(1, text("x")));
    c.push_back({.name = "RejectedRequestMakesNoTransfer",
                 .capture = cap.file(),
                 .args = with_input({"-vvv", "-d", "6"}),
                 .status = 0,
                 .out = not_request + unmatched(server_tid, client),
                 .err = reading()});
  }
  {
    capture cap;
    cap.udp(client, server, tftp::wrq("dir/x", "NetAscii", {{"tsize", "9"}}));
    c.push_back({.name = "DebugLineOnRecognition",
                 .capture = cap.file(),
                 .args = with_input({"-d", "6"}),
                 .status = 0,
                 .out = "",
                 .err = matches(quote(reading()) +
                                debug_re("found tftp request; op: 2, filename: dir/x, mode: NetAscii") +
                                created(client, server))});
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(Request, Golden, ::testing::ValuesIn(cases()), case_name());

}  // namespace
}  // namespace golden
