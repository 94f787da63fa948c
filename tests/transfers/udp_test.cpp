// SPDX-License-Identifier: BSD-2-Clause
// UDP decoding: the length checks, the checksum (enforced with -B, a debug
// line without it, never checked when zero), the pseudo-header's destination
// with source routes, and the hand-off of every payload that passes.

#include <stdexcept>

#include "tftp_golden.h"

namespace golden {
namespace {

const endpoint hop{"10.0.0.5", 69};  // the header's destination: the next hop

bytes request_packet(const udp_datagram &d, std::uint16_t id, const std::string &dst = "10.0.0.2") {
  auto p = ipv4("10.0.0.1", dst, d);
  p.id = id;
  return p.build();
}

// The rest of the sample transfer, after its request.
std::vector<bytes> sample_answers() {
  return {udp_packet("10.0.0.2", 3000, "10.0.0.1", 1025, tftp::data(1, fill(512, 'a')), 2),
          udp_packet("10.0.0.1", 1025, "10.0.0.2", 3000, tftp::ack(1), 3),
          udp_packet("10.0.0.2", 3000, "10.0.0.1", 1025, tftp::data(2, text("end")), 4),
          udp_packet("10.0.0.1", 1025, "10.0.0.2", 3000, tftp::ack(2), 5)};
}

std::vector<bytes> with_answers(const bytes &request) {
  std::vector<bytes> all{request};
  for (const auto &p : sample_answers()) all.push_back(p);
  return all;
}

golden_case run(std::string name, const std::vector<bytes> &ip, std::vector<std::string> args, text_check out,
                text_check err, std::map<std::string, bytes> files = {}) {
  return {.name = std::move(name),
          .capture = packets(ip),
          .args = with_input(std::move(args)),
          .status = 0,
          .out = std::move(out),
          .err = std::move(err),
          .files = std::move(files)};
}

std::vector<golden_case> length_cases() {
  std::vector<golden_case> c;
  const auto empty = udp(1025, 69, {});
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", slice(empty.build("10.0.0.1", "10.0.0.2"), 0, 7));
    p.id = 7;
    c.push_back(run("SevenBytes", {p.build()}, {"-vvv", "-X"}, "",
                    reading() + warning("udp header is not valid; 7 bytes, but should be at least 8; id=7")));
  }
  {
    auto d = empty;
    d.length_field = 7;
    c.push_back(run("LengthFieldBelowHeader", {request_packet(d, 8)}, {"-vvv", "-X"}, "",
                    reading() + warning("invalid udp header; specified length: -1, doesn't match expected: 0; id=8")));
  }
  {
    // A UDP length shorter than what the IPv4 layer delimits is not tolerated.
    auto d = udp(1025, 69, fill(22, 'x'));
    d.length_field = 20;
    c.push_back(run("LengthFieldShorterThanDatagram", {request_packet(d, 9)}, {"-vvv", "-X"}, "",
                    reading() + warning("invalid udp header; specified length: 12, doesn't match expected: 22; id=9")));
  }
  {
    // A request that would otherwise count: dropped, so the transfer never
    // exists and its DATA is unmatched.
    auto d = udp(1025, 69, tftp::rrq("f"));
    d.length_field = 19;
    c.push_back(run("LengthFieldLongerThanDatagram", with_answers(request_packet(d, 10)), {"-vvv"},
                    unmatched(server_tid, client) + unmatched(client, server_tid) + unmatched(server_tid, client) +
                        unmatched(client, server_tid),
                    reading() + warning("invalid udp header; specified length: 11, doesn't match expected: 10; id=10")));
  }
  // Eight bytes pass both tests; the empty payload fits nothing.
  c.push_back(run("EmptyPayloadUnmatched", {request_packet(empty, 11)}, {"-vvv", "-X", "-d", "6"},
                  unmatched(client, server) + "\t0x0000:\n", reading()));
  return c;
}

std::vector<golden_case> checksum_cases() {
  std::vector<golden_case> c;
  auto bad = udp(1025, 69, tftp::rrq("f"));
  bad.checksum = udp_sum::wrong;
  const bytes bad_request = request_packet(bad, 12);
  const std::map<std::string, bytes> sample_file{{sample_name, sample_content()}};

  c.push_back(run("WrongChecksumAllowedWithDebugLine", with_answers(bad_request), {"-v", "-d", "3"}, read_line,
                  reading() + debug("allowing invalid udp checksum; checksum=feff"), sample_file));
  c.push_back(run("WrongChecksumDebugLineNeedsLevelThree", with_answers(bad_request), {"-v", "-d", "2"}, read_line,
                  reading(), sample_file));
  c.push_back(run("WrongChecksumDroppedWithB", with_answers(bad_request), {"-vvv", "-X", "-B", "-d", "3"},
                  unmatched(server_tid, client) + "\t0x0000:  0003 0001 6161 6161 6161 6161 6161 6161  ....aaaaaaaaaaaa\n"
                                                  "\t0x0010:  6161 6161 6161 6161 6161 6161 6161 6161  aaaaaaaaaaaaaaaa\n"
                                                  "\t*\n"
                                                  "\t0x0200:  6161 6161" + std::string(32, ' ') + "aaaa" +
                      std::string(12, ' ') + "\n" + unmatched(client, server_tid) +
                      "\t0x0000:  0004 0001" + std::string(32, ' ') + "...." + std::string(12, ' ') + "\n" +
                      unmatched(server_tid, client) + "\t0x0000:  0003 0002 656e 64" + std::string(24, ' ') +
                      "....end" + std::string(9, ' ') + "\n" + unmatched(client, server_tid) +
                      "\t0x0000:  0004 0002" + std::string(32, ' ') + "...." + std::string(12, ' ') + "\n",
                  reading() + warning("invalid udp checksum; checksum=feff; src=10.0.0.1:1025, dst=10.0.0.2:69, id=12")));
  {
    // A wrong checksum on a DATA: allowed without -B, dropped with it.
    auto d = udp(3000, 1025, tftp::data(2, text("end")));
    d.checksum = udp_sum::wrong;
    auto p = ipv4("10.0.0.2", "10.0.0.1", d);
    p.id = 4;
    std::vector<bytes> ip = with_answers(read_request());
    ip[3] = p.build();
    c.push_back(run("WrongChecksumOnDataAllowed", ip, {"-d", "3"}, "",
                    reading() + debug("allowing invalid udp checksum; checksum=feff"), sample_file));
    c.push_back(run("WrongChecksumOnDataDroppedWithB", ip, {"-B", "-vv"},
                    read_line + line("DATA", server_tid, client, " 1 512") + line("ACK", client, server_tid, " 1") +
                        line("ACK", client, server_tid, " 2"),
                    reading() +
                        warning("invalid udp checksum; checksum=feff; src=10.0.0.2:3000, dst=10.0.0.1:1025, id=4") +
                        warning("possible partial content for file: " + sample_name),
                    {{sample_name, fill(512, 'a')}}));
  }
  {
    // Odd lengths: the last byte is summed as the high byte of a word.
    auto odd = udp(1025, 69, tftp::rrq("ab"));
    c.push_back(run("OddLengthVerified", {request_packet(odd, 15)}, {"-v", "-B"},
                    line("READ", client, server, " \"ab\" octet"), reading()));
    odd.checksum = udp_sum::wrong;
    c.push_back(run("OddLengthWrongDropped", {request_packet(odd, 16)}, {"-v", "-B"}, "",
                    reading() + warning("invalid udp checksum; checksum=feff; src=10.0.0.1:1025, dst=10.0.0.2:69, id=16")));
  }
  {
    // A sum that comes out 0 is sent as ffff, and verifies.
    for (unsigned v = 0x0101; v <= 0xffff; ++v) {
      if ((v & 0xff) == 0) continue;
      const auto d = udp(1025, 69, tftp::rrq("f", "octet", {{"x", std::string{char(v >> 8), char(v & 0xff)}}}));
      const bytes built = d.build("10.0.0.1", "10.0.0.2");
      if (built[6] != 0xff || built[7] != 0xff) continue;
      c.push_back(run("ChecksumFieldAllOnes", {request_packet(d, 17)}, {"-v", "-B"}, read_line, reading()));
      break;
    }
    if (c.back().name != "ChecksumFieldAllOnes") throw std::logic_error("no datagram sums to 0");
  }
  {
    auto zero = udp(1025, 69, tftp::rrq("f"));
    zero.checksum = udp_sum::zero;
    c.push_back(run("ZeroChecksumNeverChecked", with_answers(request_packet(zero, 13)), {"-v", "-B", "-d", "3"},
                    read_line, reading(), sample_file));
  }
  return c;
}

// Source routes: the pseudo-header takes the route's final address from the
// first well-formed source-route option; anything malformed leaves the
// header's destination. Each datagram is summed with `summed_with` and runs
// with -B, so it is traced only when the tool used that address.
struct route_case {
  std::string name;
  bytes options;
  std::string summed_with;
  std::optional<std::uint8_t> ihl = std::nullopt;
};

golden_case routed(const route_case &rc, bool accepted) {
  auto d = udp(1025, 69, tftp::rrq("f"));
  d.pseudo_dst = rc.summed_with;
  auto p = ipv4("10.0.0.1", hop.addr, d);
  p.options = rc.options;
  p.ihl = rc.ihl;
  p.id = 20;
  const std::string traced = line("READ", client, hop, " \"f\" octet");
  return run(rc.name, {p.build()}, {"-v", "-B"}, accepted ? traced : "",
             accepted ? text_check(reading())
                      : matches(quote(reading()) + quote("[warning] invalid udp checksum; checksum=") + "[0-9a-f]+" +
                                quote("; src=10.0.0.1:1025, dst=10.0.0.5:69, id=20\n")));
}

std::vector<golden_case> route_cases() {
  const std::vector<std::string> route{"10.0.0.7", "10.0.0.9"};
  const bytes lsrr = loose_source_route(route);
  const std::string final_hop = "10.0.0.9", header = hop.addr;
  const std::vector<route_case> to_final{
      {"LooseRouteUsesFinalHop", lsrr, final_hop},
      {"StrictRouteUsesFinalHop", strict_source_route(route), final_hop},
      {"PointerInsideRouteStillFinalHop", loose_source_route(route, 8), final_hop},
      {"RecordRouteBeforeIsSkipped", record_route(1) + lsrr, final_hop},
      {"NoOperationBeforeIsSkipped", bytes{1} + lsrr, final_hop},
      {"OtherOptionOfLengthTwoSkipped", bytes{68, 2} + lsrr, final_hop},
      {"FirstSourceRouteDecides", lsrr + strict_source_route({"10.0.0.8"}), final_hop},
  };
  const std::vector<route_case> to_header{
      {"RouteOfLengthThree", loose_source_route({}), header},
      {"PointerThree", loose_source_route(route, 3), header},
      {"PointerSix", loose_source_route(route, 6), header},
      {"PointerPastOption", loose_source_route(route, 12), header},
      {"FinalAddressZero", loose_source_route({"10.0.0.7", "0.0.0.0"}), header},
      {"EndOfOptionsFirst", bytes{0} + lsrr, header},
      {"OptionLengthBelowTwo", bytes{68, 1} + lsrr, header},
      {"OptionLengthBeyondHeader", bytes{68, 40} + lsrr, header},
      {"MalformedFirstRouteEndsScan", loose_source_route(route, 3) + strict_source_route({"10.0.0.9"}), header},
      // Four no-ops, then a route whose 11 bytes run past the 12 option
      // bytes that the header length allows.
      {"RouteRunningPastHeader", bytes{1, 1, 1, 1, 131, 11, 4} + be32(ipv4_addr("10.0.0.9")), header, 8},
  };
  std::vector<golden_case> c;
  for (const auto &rc : to_final) {
    c.push_back(routed(rc, true));
    c.push_back(routed({rc.name + "_NotHeaderDestination", rc.options, header, rc.ihl}, false));
  }
  for (const auto &rc : to_header) {
    c.push_back(routed(rc, true));
    c.push_back(routed({rc.name + "_NotFinalHop", rc.options, final_hop, rc.ihl}, false));
  }

  // A reassembled datagram is summed with the destination of the fixed
  // header that reassembly keeps, whatever options its first fragment had.
  for (const bool with_header : {true, false}) {
    auto d = udp(1025, 69, tftp::rrq("reassembled"));
    d.pseudo_dst = with_header ? header : final_hop;
    const bytes datagram = d.build("10.0.0.1", header);
    auto first = ipv4("10.0.0.1", header, slice(datagram, 0, 16));
    first.options = lsrr;
    first.id = 21;
    first.more_fragments = true;
    auto second = ipv4("10.0.0.1", header, slice(datagram, 16, datagram.size()));
    second.id = 21;
    second.frag_offset = 2;
    c.push_back(run(with_header ? "ReassembledUsesHeaderCopy" : "ReassembledIgnoresFirstFragmentRoute",
                    {first.build(), second.build()}, {"-v", "-B"},
                    with_header ? line("READ", client, hop, " \"reassembled\" octet") : "",
                    with_header ? text_check(reading())
                                : matches(quote(reading()) + quote("[warning] invalid udp checksum; checksum=") +
                                          "[0-9a-f]+" + quote("; src=10.0.0.1:1025, dst=10.0.0.5:69, id=21\n"))));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(UdpLength, Golden, ::testing::ValuesIn(length_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(UdpChecksum, Golden, ::testing::ValuesIn(checksum_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(UdpSourceRoute, Golden, ::testing::ValuesIn(route_cases()), case_name());

}  // namespace
}  // namespace golden
