// SPDX-License-Identifier: BSD-2-Clause
// IPv6 with -6: every link type that carries it, the fixed header, the
// extension headers, the UDP checksum over the IPv6 pseudo-header and
// fragment reassembly. Without -6 IPv6 meets the warnings it always had.

#include "golden.h"

namespace golden {
namespace {

const std::string src6 = "fd00::1";
const std::string dst6 = "fd00::2";
const std::string read6_line = "READ  fd00::1:1025 > fd00::2:69 \"f\" octet\n";

bytes read6_datagram(udp_sum sum = udp_sum::correct) {
  auto d = udp(1025, 69, tftp::rrq("f"));
  d.checksum = sum;
  return d.build6(src6, dst6);
}

bytes read6() { return ipv6(src6, dst6, read6_datagram()).build(); }

// A read request for "f" whose UDP datagram is `size` bytes long, over IPv6.
bytes padded_datagram6(std::size_t size, std::optional<std::string> pseudo_dst = std::nullopt,
                       udp_sum sum = udp_sum::correct) {
  const std::size_t fixed = 8 + tftp::rrq("f").size() + 2 + 1;
  auto d = udp(1025, 69, tftp::rrq("f", "octet", {{"p", std::string(size - fixed, 'x')}}));
  d.pseudo_dst = std::move(pseudo_dst);
  d.checksum = sum;
  return d.build6(src6, dst6);
}

golden_case one_frame(std::string name, std::uint32_t link_type, const bytes &stored, std::vector<std::string> args,
                      text_check out, text_check warnings, byte_order order = byte_order::little) {
  capture cap(link_type, 262144, order);
  cap.frame(stored);
  text_check err = warnings;
  err.text = (warnings.regex ? quote(reading(static_cast<int>(link_type))) : reading(static_cast<int>(link_type))) +
             warnings.text;
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input(std::move(args)),
          .status = 0,
          .out = std::move(out),
          .err = std::move(err)};
}

// An IPv6 packet on Ethernet, with -6 and the given options.
golden_case packet6(std::string name, const bytes &packet, std::vector<std::string> args, text_check out,
                    text_check warnings = "") {
  args.insert(args.begin(), "-6");
  return one_frame(std::move(name), link::ethernet, ethernet(packet, 0x86dd), std::move(args), std::move(out),
                   std::move(warnings));
}

golden_case frames6(std::string name, const std::vector<bytes> &packets, std::vector<std::string> args,
                    text_check out, text_check err) {
  capture cap;
  for (const auto &p : packets) cap.packet6(p);
  args.insert(args.begin(), "-6");
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input(std::move(args)),
          .status = 0,
          .out = std::move(out),
          .err = std::move(err)};
}

std::vector<bytes> pick(const std::vector<bytes> &from, const std::vector<std::size_t> &order) {
  std::vector<bytes> out;
  for (const std::size_t i : order) out.push_back(from[i]);
  return out;
}

void link_cases(std::vector<golden_case> &c) {
  const bytes p = read6();
  const std::vector<std::string> v6{"-6", "-v"};
  c.push_back(one_frame("Ethernet", link::ethernet, ethernet(p, 0x86dd), v6, read6_line, ""));
  c.push_back(one_frame("Ieee802Snap", link::ieee802, ethernet_snap(p, 0x005a, 0x86dd), v6, read6_line, ""));
  c.push_back(one_frame("LinuxSll", link::linux_sll, linux_sll(p, 0x86dd), v6, read6_line, ""));
  c.push_back(one_frame("LinuxSll2", link::linux_sll2, linux_sll2(p, 0x86dd), v6, read6_line, ""));
  c.push_back(one_frame("Ppp", link::ppp, ppp(p, 0x0057), v6, read6_line, ""));
  c.push_back(one_frame("Raw", link::raw, p, v6, read6_line, ""));
  // BSD loopback: each system's family for IPv6, in either byte order, and
  // in a file of either byte order.
  for (const std::uint32_t family : {10u, 24u, 28u, 30u}) {
    for (const auto order : {byte_order::little, byte_order::big}) {
      const std::string name = "NullFamily" + std::to_string(family) + (order == byte_order::big ? "Big" : "Little");
      c.push_back(one_frame(name, link::null, null_link(p, family, order), v6, read6_line, ""));
      c.push_back(one_frame(name + "InBigEndianFile", link::null, null_link(p, family, order), v6, read6_line, "",
                            byte_order::big));
    }
  }
  // An IPv4 capture reads as it did.
  c.push_back({.name = "Ipv4TransferAsBefore",
               .capture = sample_transfer(),
               .args = with_input({"-6", "-v"}),
               .status = 0,
               .out = read_line,
               .err = reading(),
               .files = {{sample_name, sample_content()}}});

  // Without -6, the warnings that IPv6 always met.
  const std::vector<std::string> v{"-v"};
  const std::string not4 = warning("unexpected version 6; not 4");
  c.push_back(one_frame("WithoutOptionEthernet", link::ethernet, ethernet(p, 0x86dd), v, "",
                        warning("ethernet has wrong type: 34525")));
  c.push_back(one_frame("WithoutOptionRaw", link::raw, p, v, "", not4));
  c.push_back(one_frame("WithoutOptionLinuxSll", link::linux_sll, linux_sll(p, 0x86dd), v, "", not4));
  c.push_back(one_frame("WithoutOptionLinuxSll2", link::linux_sll2, linux_sll2(p, 0x86dd), v, "", not4));
  c.push_back(one_frame("WithoutOptionPpp", link::ppp, ppp(p, 0x0057), v, "", ""));
  c.push_back(one_frame("WithoutOptionNull", link::null, null_link(p, 10), v, "", ""));
  c.push_back(one_frame("WithoutOptionExtensionHeaders", link::ethernet,
                        ethernet(ipv6(src6, dst6, hop_by_hop(17) + read6_datagram(), 0).build(), 0x86dd),
                        {"-v", "ip", "or", "ip6"}, "", warning("ethernet has wrong type: 34525")));
}

void header_cases(std::vector<golden_case> &c) {
  const std::vector<std::string> v{"-v", "-B"};
  const bytes dg = read6_datagram();
  const auto packet = [&](const bytes &headers, std::uint8_t first) {
    return ipv6(src6, dst6, headers + dg, first).build();
  };

  // Extension headers in front of UDP are stepped over.
  c.push_back(packet6("HopByHop", packet(hop_by_hop(17), 0), v, read6_line));
  c.push_back(packet6("FourHeaders",
                      packet(hop_by_hop(60, 16) + destination_options(43) + routing_header(60, 0, 0, {"fd00::9"}) +
                                 destination_options(17, 24),
                             0),
                      v, read6_line));
  {
    bytes eight;
    for (int i = 0; i < 7; ++i) eight += destination_options(60);
    c.push_back(packet6("EightHeaders", packet(eight + destination_options(17), 60), v, read6_line));
    // Not shown to the filter without its headers: words let it through.
    c.push_back(packet6("NineHeaders", packet(eight + destination_options(60) + destination_options(17), 60),
                        {"-v", "ip", "or", "ip6"}, "",
                        warning("too many ipv6 extension headers; more than 8")));
  }
  // The filter sees the UDP header behind the extension headers.
  const bytes behind_two = packet(hop_by_hop(60) + destination_options(17), 0);
  c.push_back(packet6("PortWordThroughHeaders", behind_two, {"-v", "port", "69"}, read6_line));
  c.push_back(packet6("OtherPortWordThroughHeaders", behind_two, {"-v", "port", "70"}, ""));
  c.push_back(packet6("HostWordThroughHeaders", behind_two, {"-v", "host", "fd00::1"}, read6_line));

  // A routing header with addresses left to visit: the checksum covers the
  // final destination, while the transfer is the fixed header's.
  {
    auto routed = udp(1025, 69, tftp::rrq("f"));
    routed.pseudo_dst = "fd00::9";
    const bytes to_final = routed.build6(src6, dst6);
    c.push_back(packet6("SourceRouteToFinalDestination",
                        ipv6(src6, dst6, routing_header(17, 0, 1, {"fd00::9"}) + to_final, 43).build(), v,
                        read6_line));
    c.push_back(packet6("SegmentRoutingToFinalDestination",
                        ipv6(src6, dst6, routing_header(17, 4, 1, {"fd00::9", "fd00::2"}) + to_final, 43).build(), v,
                        read6_line));
    c.push_back(packet6("MobileRoutingToHomeAddress",
                        ipv6(src6, dst6, routing_header(17, 2, 1, {"fd00::9"}) + to_final, 43).build(), v,
                        read6_line));
    c.push_back(packet6("RoutedButSummedToNextHop",
                        ipv6(src6, dst6, routing_header(17, 0, 1, {"fd00::9"}) + dg, 43).build(), v, "",
                        matches(quote("[warning] invalid udp checksum; checksum=") +
                                "[0-9a-f]+" + quote("; src=fd00::1:1025, dst=fd00::2:69, id=0\n"))));
  }

  // What is not right in the headers.
  c.push_back(packet6("HeaderTooShort", slice(read6(), 0, 30), v, "",
                      warning("ipv6 header is not valid; 30 bytes, but should be at least 40")));
  {
    auto p = ipv6(src6, dst6, dg);
    p.payload_length = static_cast<std::uint16_t>(dg.size() + 10);
    c.push_back(packet6("PayloadLongerThanCaptured", p.build(), v, "",
                        warning("partial ipv6 packet; payload length: " + std::to_string(dg.size() + 10) +
                                ", captured: " + std::to_string(dg.size()))));
  }
  c.push_back(packet6("BytesAfterPayloadIgnored", read6() + fill(20, 0xee), v, read6_line));
  c.push_back(packet6("Ipv4BehindIpv6Type", ipv4("10.0.0.1", "10.0.0.2", padded_read_request_datagram(40)).build(), {"-v", "ip", "or", "ip6"}, "",
                      warning("unexpected version 4; not 6")));
  {
    auto cut = ipv6(src6, dst6, destination_options(17, 16) + dg, 60);
    cut.payload_length = 4;
    c.push_back(packet6("HeaderCutByPayloadLength", cut.build(), {"-v", "ip", "or", "ip6"}, "",
                        warning("ipv6 extension header 60 is not valid; 4 bytes, but should be at least 16")));
    cut.payload_length = 1;
    c.push_back(packet6("HeaderLengthByteMissing", cut.build(), {"-v", "ip", "or", "ip6"}, "",
                        warning("ipv6 extension header 60 is not valid; 1 bytes, but should be at least 2")));
    c.push_back(packet6("FragmentHeaderCut", ipv6(src6, dst6, fill(6, 0), 44).build(), {"-v", "ip", "or", "ip6"}, "",
                        warning("ipv6 extension header 44 is not valid; 6 bytes, but should be at least 8")));
  }
  {
    const bytes tcp = be16(1025) + be16(69) + be32(1) + be32(0) + bytes{0x50, 0x02} + be16(1024) + be16(0) + be16(0);
    c.push_back(packet6("TcpBehindOptions", ipv6(src6, dst6, destination_options(6) + tcp, 60).build(),
                        {"-v", "ip", "or", "ip6"}, "", warning("unexpected protocol 6; not udp")));
    c.push_back(packet6("NoNextHeader", ipv6(src6, dst6, hop_by_hop(59), 0).build(), {"-v", "ip", "or", "ip6"}, "",
                        warning("unexpected protocol 59; not udp")));
  }
  c.push_back(packet6("UdpHeaderTooShort", ipv6(src6, dst6, slice(dg, 0, 4)).build(), v, "",
                      warning("udp header is not valid; 4 bytes, but should be at least 8; id=0")));
  {
    auto d = udp(1025, 69, tftp::rrq("f"));
    d.length_field = static_cast<std::uint16_t>(8 + tftp::rrq("f").size() + 2);
    c.push_back(packet6("UdpLengthMismatch", ipv6(src6, dst6, d.build6(src6, dst6)).build(), v, "",
                        warning("invalid udp header; specified length: 12, doesn't match expected: 10; id=0")));
  }
}

// The value a checksum check prints for a datagram sent without one: what
// the field should have held, its bytes swapped as for IPv4.
std::string missing_sum(const bytes &zero_summed) {
  const bytes right = [&] {
    auto d = udp(1025, 69, slice(zero_summed, 8, zero_summed.size()));
    return d.build6(src6, dst6);
  }();
  char text[8];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(right[7] << 8 | right[6]));
  return text;
}

void checksum_cases(std::vector<golden_case> &c) {
  // The checksum is not optional over IPv6: 0 is as wrong as a bad value.
  const bytes zero = read6_datagram(udp_sum::zero);
  const std::string sum = missing_sum(zero);
  c.push_back(packet6("ZeroChecksumDroppedWithB", ipv6(src6, dst6, zero).build(), {"-v", "-B"}, "",
                      warning("invalid udp checksum; checksum=" + sum + "; src=fd00::1:1025, dst=fd00::2:69, id=0")));
  c.push_back(packet6("ZeroChecksumAllowedWithoutB", ipv6(src6, dst6, zero).build(), {"-v", "-d", "3"}, read6_line,
                      debug("allowing invalid udp checksum; checksum=" + sum)));
  c.push_back(packet6("WrongChecksumDroppedWithB", ipv6(src6, dst6, read6_datagram(udp_sum::wrong)).build(),
                      {"-v", "-B"}, "",
                      matches(quote("[warning] invalid udp checksum; checksum=") + "[0-9a-f]+" +
                              quote("; src=fd00::1:1025, dst=fd00::2:69, id=0\n"))));
  c.push_back(packet6("RightChecksumKeptWithB", read6(), {"-v", "-B"}, read6_line));
}

// End-of-run dump lines of a record, with the bucket and pointers left open.
std::string record_dump(const std::string &rest) {
  return quote("[debug] fragment bucket ") + "[0-9]+" + quote(": [") + "0x[0-9a-f]+" + quote("], " + rest) + "\n";
}

std::string piece_dump(unsigned offset, unsigned len) {
  return quote("[debug] fragment bucket ") + "[0-9]+" + quote(": [") + "0x[0-9a-f]+" + quote("], data[") +
         "0x[0-9a-f]+" + quote("], offset=" + std::to_string(offset) + ", len=" + std::to_string(len)) + "\n";
}

void fragment_cases(std::vector<golden_case> &c) {
  ipv6_fragment_plan plan;
  plan.fragmentable = padded_datagram6(2000);
  plan.piece = 504;
  const std::vector<bytes> pieces = ipv6_fragments(plan);  // at 0, 504, 1008 and 1512
  const std::vector<std::string> v{"-v", "-B", "-d", "2"};

  // Any order, overlaps and copies: one datagram, and no record left over.
  c.push_back(frames6("FragmentsInOrder", pieces, v, read6_line, reading()));
  c.push_back(frames6("FragmentsReversed", pick(pieces, {3, 2, 1, 0}), v, read6_line, reading()));
  c.push_back(frames6("FragmentsShuffled", pick(pieces, {2, 0, 3, 1}), v, read6_line, reading()));
  c.push_back(frames6("FragmentsDuplicated", pick(pieces, {0, 0, 1, 3, 1, 3, 2}), v, read6_line, reading()));
  // Overlapping pieces drop their datagram (and its later pieces) with a
  // debug line, whatever bytes they carry; an exact copy is a duplicate.
  const std::string dropped = debug("overlapping ipv6 fragments; datagram dropped; id=305419896");
  bytes changed_copy = pieces[1];
  changed_copy.back() ^= 0xff;
  const struct {
    const char *name;
    std::vector<bytes> frames;
  } overlaps[] = {
      {"FragmentsOverlappingDropped",
       {ipv6_fragment(plan, 1200, 800, false), ipv6_fragment(plan, 0, 600, true), ipv6_fragment(plan, 8, 16, true),
        ipv6_fragment(plan, 504, 800, true)}},
      {"FragmentOverlappingTheNextDropped", {pieces[0], pieces[2], ipv6_fragment(plan, 504, 512, true), pieces[3]}},
      {"FragmentOverlappingThePreviousDropped", {pieces[3], pieces[1], ipv6_fragment(plan, 1000, 504, true), pieces[0]}},
      {"FragmentCopyWithOtherBytesDropped", {pieces[0], pieces[1], changed_copy, pieces[2], pieces[3]}},
      {"WholeDatagramAfterOverlapStillDropped",
       {pieces[0], ipv6_fragment(plan, 496, 16, true), pieces[1], pieces[2], pieces[3]}},
  };
  for (const auto &o : overlaps) c.push_back(frames6(o.name, o.frames, {"-v", "-B", "-d", "2"}, "", reading() + dropped));
  {
    // An empty piece in the middle, and one repeating the last.
    c.push_back(frames6("FragmentsWithEmptyAndRepeatedPieces",
                        {pieces[0], ipv6_fragment(plan, 504, 0, true), pieces[1], pieces[3], pieces[3], pieces[2]}, v,
                        read6_line, reading()));
  }
  {
    // Headers in front of the fragment header come with every piece.
    ipv6_fragment_plan hop = plan;
    hop.first_header = 0;
    hop.unfragmentable = hop_by_hop(44);
    c.push_back(frames6("FragmentsBehindHopByHop", pick(ipv6_fragments(hop), {1, 3, 0, 2}), v, read6_line, reading()));
    // A routing header names the destination that the checksum covers.
    ipv6_fragment_plan routed = plan;
    routed.first_header = 43;
    routed.unfragmentable = routing_header(44, 0, 1, {"fd00::9"});
    routed.fragmentable = padded_datagram6(2000, "fd00::9");
    c.push_back(frames6("FragmentsRouted", ipv6_fragments(routed), v, read6_line, reading()));
    // Headers behind the fragment header are in the reassembled datagram.
    ipv6_fragment_plan inner = plan;
    inner.next = 60;
    inner.fragmentable = destination_options(17, 16) + padded_datagram6(1984);
    c.push_back(frames6("HeadersInsideFragments", pick(ipv6_fragments(inner), {3, 1, 2, 0}), v, read6_line,
                        reading()));
    // A second fragment header is not followed.
    ipv6_fragment_plan nested = plan;
    nested.next = 44;
    nested.fragmentable = fragment_header(17, 0, false, 1) + padded_datagram6(1992);
    c.push_back(frames6("NestedFragmentHeader", ipv6_fragments(nested), {"-v", "ip", "or", "ip6"}, "",
                        reading() + warning("unexpected protocol 44; not udp")));
  }
  // An atomic fragment: offset 0 and no more to come.
  c.push_back(frames6("AtomicFragment", {ipv6_fragment(plan, 0, 2000, false)}, v, read6_line, reading()));
  {
    // The zero checksum of a fragmented datagram shows its identification.
    ipv6_fragment_plan zero = plan;
    zero.fragmentable = padded_datagram6(2000, std::nullopt, udp_sum::zero);
    c.push_back(frames6("FragmentsWithZeroChecksum", ipv6_fragments(zero), {"-v", "-B"}, "",
                        matches(quote(reading() + "[warning] invalid udp checksum; checksum=") + "[0-9a-f]+" +
                                quote("; src=fd00::1:1025, dst=fd00::2:69, id=305419896\n"))));
  }
  // Left incomplete: listed at the end, IPv6 addresses compressed and the
  // identification in full.
  c.push_back(frames6("IncompleteListedAtEnd", pick(pieces, {3, 1}), v, "",
                      matches(quote(reading()) +
                              record_dump("length=2000, flags=0002, src=fd00::1, dst=fd00::2, id=305419896") +
                              piece_dump(504, 504) + piece_dump(1512, 488))));
  c.push_back(frames6("PieceBeyondLargestDatagram",
                      {ipv6(src6, dst6, fragment_header(17, 8191, true, plan.id) + fill(16, 0), 44).build()}, v, "",
                      reading() + warning("length of fragment packet exceeds max possible data; offset: 65528, "
                                          "caplen: 16, length: 65535")));
  // The filter's words see each piece: a host word keeps them all; a port
  // word only sees the first piece's ports, so the datagram never completes
  // (as for IPv4).
  c.push_back(frames6("HostWordKeepsEveryPiece", pick(pieces, {1, 0, 2, 3}), {"-v", "host", "fd00::2"}, read6_line,
                      reading()));
  c.push_back(frames6("PortWordSeesOnlyTheFirstPiece", pieces, {"-v", "-d", "2", "port", "69"}, "",
                      matches(quote(reading()) +
                              record_dump("length=0, flags=0001, src=fd00::1, dst=fd00::2, id=305419896") +
                              piece_dump(0, 504))));
  {
    // IPv4 and IPv6 datagrams of the same identification stay apart.
    ipv6_fragment_plan same = plan;
    same.id = 0x1234;
    const std::vector<bytes> six = ipv6_fragments(same);
    const bytes four = padded_read_request_datagram(2000);
    const auto four_part = [&](std::size_t offset, std::size_t n, bool more) {
      auto p = ipv4("10.0.0.1", "10.0.0.2", slice(four, offset, n));
      p.id = 0x1234;
      p.frag_offset = static_cast<std::uint16_t>(offset / 8);
      p.more_fragments = more;
      return p.build();
    };
    capture cap;
    cap.packet6(six[0]).packet(four_part(0, 1480, true)).packet6(six[1]).packet6(six[2]);
    cap.packet(four_part(1480, 520, false)).packet6(six[3]);
    c.push_back({.name = "SameIdentificationOverBothFamilies",
                 .capture = cap.file(),
                 .args = with_input({"-6", "-v", "-B", "-d", "2"}),
                 .status = 0,
                 .out = read_line + read6_line,
                 .err = reading()});
  }
}

std::vector<golden_case> cases() {
  std::vector<golden_case> c;
  link_cases(c);
  header_cases(c);
  checksum_cases(c);
  fragment_cases(c);
  return c;
}

INSTANTIATE_TEST_SUITE_P(Ipv6, Golden, ::testing::ValuesIn(cases()), case_name());

}  // namespace
}  // namespace golden
