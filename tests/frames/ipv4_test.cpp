// SPDX-License-Identifier: BSD-2-Clause
// IPv4 decoding: header checks, the header checksum (enforced with -B) and
// the choice between the whole-datagram road and reassembly.

#include "golden.h"

namespace golden {
namespace {

// The example header 45 00 00 1c 00 01 00 00 40 11 [sum] 0a 00 00 01 0a 00 00
// 02 followed by an empty UDP datagram from port 1025 to port 69 (no UDP
// checksum); its correct checksum field is 66 ce.
bytes example_packet(std::uint16_t stored_checksum) {
  auto p = ipv4("10.0.0.1", "10.0.0.2", be16(1025) + be16(69) + be16(8) + be16(0));
  p.id = 1;
  p.checksum = ip_sum::chosen;
  p.checksum_value = stored_checksum;
  return p.build();
}

const std::string empty_datagram_line = "XXX   10.0.0.1:1025 > 10.0.0.2:69 \n";

golden_case raw_case(std::string name, const bytes &frame, std::vector<std::string> args, std::string out,
                     std::string warnings) {
  capture cap(link::raw);
  cap.frame(frame);
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input(std::move(args)),
          .status = 0,
          .out = std::move(out),
          .err = reading(link::raw) + warnings};
}

std::vector<golden_case> cases() {
  std::vector<golden_case> c;
  const auto request = udp(1025, 69, tftp::rrq("f"));

  c.push_back(raw_case("ShorterThanFixedHeader", slice(read_request(), 0, 19), {"-v"}, "",
                       warning("ip header is not valid; 19 bytes, but should be at least 20")));
  {
    // Exactly the fixed header: the checks go on, and UDP gets 0 bytes.
    auto p = ipv4("10.0.0.1", "10.0.0.2", bytes{});
    p.id = 3;
    c.push_back(raw_case("FixedHeaderOnly", p.build(), {"-v"}, "",
                         warning("udp header is not valid; 0 bytes, but should be at least 8; id=3")));
  }
  {
    bytes v6 = fill(40, 0);
    v6[0] = 0x60;
    v6[6] = 17;
    c.push_back(raw_case("Ipv6IsWrongVersion", v6, {"-v"}, "", warning("unexpected version 6; not 4")));
  }
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", request);
    p.protocol = 6;
    c.push_back(raw_case("TcpIsWrongProtocol", p.build(), {"-v", "ip", "or", "tcp"}, "",
                         warning("unexpected protocol 6; not udp")));
  }
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", fill(980, 0));
    p.total_length = 1500;
    p.id = 0xbeef;
    c.push_back(raw_case("TotalLengthBeyondCapture", p.build(), {"-v"}, "",
                         warning("partial ip packet; length: 1500, captured: 1000; id=48879")));
  }
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", fill(40, 0));
    p.ihl = 15;
    p.total_length = 40;
    p.id = 5;
    c.push_back(raw_case("TotalLengthShorterThanHeader", p.build(), {"-v"}, "",
                         warning("partial ip packet; length: 40, header length: 60; id=5")));
  }
  {
    // A 28-byte packet in a minimum-size Ethernet frame: UDP gets 8 bytes,
    // not the filler.
    bytes frame = ethernet(example_packet(0x66ce));
    frame.resize(60, 0xaa);
    capture cap;
    cap.frame(frame);
    c.push_back({.name = "FillerAfterTotalLengthIgnored",
                 .capture = cap.file(),
                 .args = with_input({"-v", "-v", "-v"}),
                 .status = 0,
                 .out = empty_datagram_line,
                 .err = reading()});
  }
  {
    // Options are skipped by the header length.
    auto p = ipv4("10.0.0.1", "10.0.0.2", request);
    p.options = record_route(2);
    c.push_back(raw_case("OptionsSkipped", p.build(), {"-v", "-B"}, read_line, ""));
  }

  // The header checksum: always computed, enforced with -B.
  c.push_back(raw_case("GoodChecksumSilent", example_packet(0x66ce), {"-vvv", "-B", "-d", "6"}, empty_datagram_line, ""));
  c.push_back(raw_case("BadChecksumAllowedWithDebugLine", example_packet(0), {"-vvv", "-d", "3"}, empty_datagram_line,
                       debug("allowing invalid ip checksum; checksum=ce66")));
  c.push_back(raw_case("BadChecksumDebugLineNeedsLevelThree", example_packet(0), {"-vvv", "-d", "2"},
                       empty_datagram_line, ""));
  c.push_back(raw_case("BadChecksumDroppedWithB", example_packet(0), {"-vvv", "-B", "-d", "6"}, "",
                       warning("invalid ip checksum; checksum=ce66; id=1")));
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", request);
    p.checksum = ip_sum::wrong;
    c.push_back(raw_case("BadChecksumRequestStillCounts", p.build(), {"-v"}, read_line, ""));
  }
  {
    // Header-length nibble 0: the sum covers nothing (ffff), and without -B
    // the UDP header is read from the start of the IPv4 header: ports 0x4000
    // and the total length, length field the identification, checksum field
    // the (zero) fragment word.
    auto p = ipv4("10.0.0.1", "10.0.0.2", fill(8, 0));
    p.ihl = 0;
    p.id = 28;
    const bytes packet = p.build();
    c.push_back(raw_case("HeaderLengthZeroDroppedWithB", packet, {"-vvv", "-B"}, "",
                         warning("invalid ip checksum; checksum=ffff; id=28")));
    c.push_back(raw_case("HeaderLengthZeroReadsUdpFromIpHeader", packet, {"-vvv", "-d", "3"},
                         "XXX   10.0.0.1:16384 > 10.0.0.2:28 \n", debug("allowing invalid ip checksum; checksum=ffff")));
  }

  // The fragment test: only more-fragments and the offset count.
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", request);
    p.dont_fragment = true;
    c.push_back(raw_case("DontFragmentIsWhole", p.build(), {"-v", "-d", "2"}, read_line, ""));
  }
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", request);
    p.more_fragments = true;
    c.push_back(raw_case("MoreFragmentsIsAFragment", p.build(), {"-v"}, "", ""));
  }
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", request);
    p.frag_offset = 1;
    c.push_back(raw_case("NonZeroOffsetIsAFragment", p.build(), {"-v"}, "", ""));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(Ipv4, Golden, ::testing::ValuesIn(cases()), case_name());

}  // namespace
}  // namespace golden
