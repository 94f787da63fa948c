// SPDX-License-Identifier: BSD-2-Clause
// Link-layer framing: each handler checks that the frame was captured whole,
// strips its header and hands the IPv4 packet on. A read request with -v
// shows that a frame got through. Frames shorter than the bytes that the
// "udp" filter reads never reach a handler; the handlers' own minimum-length
// checks for those are exercised directly in the unit tests.

#include "golden.h"

namespace golden {
namespace {

bytes padded(bytes b, std::size_t size) {
  b.resize(size, 0);
  return b;
}

// An IPv6 packet carrying the read request over UDP (next header 17), which
// the "udp" filter lets through.
bytes ipv6_udp() {
  const bytes datagram = be16(1025) + be16(69) + be16(18) + be16(0) + tftp::rrq("f");
  return bytes{0x60, 0, 0, 0} + be16(static_cast<std::uint16_t>(datagram.size())) + bytes{17, 64} +
         hex("fe80 0000 0000 0000 0000 0000 0000 0001") + hex("fe80 0000 0000 0000 0000 0000 0000 0002") + datagram;
}

// An IPv4 packet of exactly `size` bytes that traces as `read_line`.
bytes request_of_size(std::size_t size) {
  auto p = ipv4("10.0.0.1", "10.0.0.2", padded_read_request_datagram(size - 20));
  return p.build();
}

golden_case one_frame(std::string name, std::uint32_t link_type, const bytes &stored, std::uint32_t wire_len,
                      std::vector<std::string> words, std::string out, std::string warnings,
                      byte_order order = byte_order::little) {
  capture cap(link_type, 262144, order);
  cap.frame(stored, wire_len);
  std::vector<std::string> args{"-v"};
  args.insert(args.end(), words.begin(), words.end());
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input(args),
          .status = 0,
          .out = std::move(out),
          .err = reading(static_cast<int>(link_type)) + warnings};
}

golden_case whole_frame(std::string name, std::uint32_t link_type, const bytes &stored,
                        std::vector<std::string> words, std::string out, std::string warnings,
                        byte_order order = byte_order::little) {
  return one_frame(std::move(name), link_type, stored, static_cast<std::uint32_t>(stored.size()), std::move(words),
                   std::move(out), std::move(warnings), order);
}

std::string only(int caplen, int len) {
  return warning("only " + std::to_string(caplen) + " bytes of " + std::to_string(len) + " bytes were captured");
}

std::vector<golden_case> cases() {
  const std::uint32_t eth = link::ethernet;
  const bytes full_size = ethernet(request_of_size(1500));  // 1514 bytes
  const bytes fcs = fill(4, 0xee);
  std::vector<golden_case> c;

  // Ethernet.
  c.push_back(whole_frame("EthernetMinimumFrameIgnoresFiller", eth, padded(ethernet(read_request()), 60), {},
                          read_line, ""));
  c.push_back(one_frame("EthernetCutBySnapshotLength", eth, slice(padded(ethernet(read_request()), 1000), 0, 96),
                        1000, {}, "", only(96, 1000)));
  // A maximum-size frame whose wire length counts the 4-byte FCS.
  c.push_back(one_frame("EthernetFullSizeWithoutFcs", eth, full_size, 1518, {}, read_line, ""));
  c.push_back(one_frame("EthernetFullSizeWithHalfFcs", eth, full_size + slice(fcs, 0, 2), 1518, {}, read_line, ""));
  c.push_back(one_frame("EthernetFullSizeWithThreeFcsBytes", eth, full_size + slice(fcs, 0, 3), 1518, {}, read_line,
                        ""));
  c.push_back(one_frame("EthernetFullSizeOneByteShort", eth, slice(full_size, 0, 1513), 1518, {}, "",
                        only(1513, 1518)));
  c.push_back(one_frame("EthernetOnlyWireLength1518IsFullSize", eth, full_size, 1517, {}, "", only(1514, 1517)));
  c.push_back(whole_frame("EthernetIpv6IsWrongType", eth, padded(ethernet(ipv6_udp(), 0x86dd), 100), {}, "",
                          warning("ethernet has wrong type: 34525")));
  // The 22-byte form: LLC/SNAP with the type at bytes 20-21.
  c.push_back(whole_frame("EthernetSnapForm", eth, ethernet_snap(padded(read_request(), 78), 0x005a), pass_all,
                          read_line, ""));
  // Too short for the 22-byte form: the type at bytes 12-13 is reported.
  c.push_back(whole_frame("EthernetShortFrameOfOtherType", eth,
                          slice(ethernet(read_request(), 0x1234), 0, 20), pass_all, "",
                          warning("ethernet has wrong type: 4660")));
  c.push_back(whole_frame("EthernetOtherTypeWithoutSnap", eth, padded(ethernet(read_request(), 0x1234), 100),
                          pass_all, "", warning("ethernet has wrong type: 4660")));
  {
    // More captured than was on the wire: only the wire length is handed
    // on, so a 56-byte packet in a 64-byte frame is partial.
    const bytes frame = padded(ethernet(request_of_size(56)), 70);
    c.push_back(one_frame("EthernetBytesBeyondWireLengthAreNotHandedOn", eth, frame, 64, {}, "",
                          warning("partial ip packet; length: 56, captured: 50; id=1")));
    // Of another type, so that the filter's UDP test reads no further.
    c.push_back(one_frame("EthernetWireLengthShorterThanHeader", eth,
                          slice(ethernet(read_request(), 0x1234), 0, 20), 10, pass_all, "",
                          warning("ethernet is not valid; 10 bytes, but should be at least 14")));
  }
  // Link type 6: token-ring framing, which the filter accepts in this form.
  c.push_back(whole_frame("Ieee802SnapForm", link::ieee802, ethernet_snap(read_request(), 0x0201), {}, read_line, ""));

  // Raw IPv4.
  c.push_back(whole_frame("RawWhole", link::raw, padded(read_request(), 60), {}, read_line, ""));
  c.push_back(one_frame("RawCut", link::raw, slice(padded(read_request(), 60), 0, 40), 60, {}, "", only(40, 60)));

  // DLT_NULL: the address family in either byte order.
  c.push_back(whole_frame("NullLittleEndianFamily", link::null, null_link(read_request(), 2, byte_order::little), {},
                          read_line, ""));
  c.push_back(whole_frame("NullBigEndianFamily", link::null, null_link(read_request(), 2, byte_order::big), pass_all,
                          read_line, ""));
  c.push_back(whole_frame("NullBigEndianFileAndFamily", link::null, null_link(read_request(), 2, byte_order::big), {},
                          read_line, "", byte_order::big));
  c.push_back(whole_frame("NullOtherFamilyDroppedSilently", link::null,
                          null_link(read_request(), 24, byte_order::little), pass_all, "", ""));
  c.push_back(one_frame("NullCut", link::null, slice(null_link(read_request()), 0, 30), 42, {}, "", only(30, 42)));

  // Linux cooked capture, v1 and v2.
  c.push_back(whole_frame("LinuxSll", link::linux_sll, linux_sll(read_request()), {}, read_line, ""));
  // The protocol field is not looked at: whatever follows goes to the IPv4
  // decoder (ARP's protocol here, so that the filter reads no further).
  c.push_back(whole_frame("LinuxSllHeaderOnly", link::linux_sll, linux_sll({}, 0x0806), pass_all, "",
                          warning("ip header is not valid; 0 bytes, but should be at least 20")));
  c.push_back(one_frame("LinuxSllCut", link::linux_sll, linux_sll(read_request()), 60, {}, "", only(54, 60)));
  c.push_back(whole_frame("LinuxSll2", link::linux_sll2, linux_sll2(read_request()), {}, read_line, ""));
  c.push_back(whole_frame("LinuxSll2ShorterThanHeader", link::linux_sll2,
                          slice(linux_sll2(read_request(), 0x0806), 0, 19), pass_all, "",
                          warning("linux_sll2 is not valid; 19 bytes, but should be at least 20")));
  c.push_back(one_frame("LinuxSll2Cut", link::linux_sll2, linux_sll2(read_request()), 60, {}, "", only(58, 60)));

  // PPP: protocol 0x0021 is IPv4; others are skipped without a word.
  c.push_back(whole_frame("Ppp", link::ppp, ppp(read_request()), {}, read_line, ""));
  c.push_back(whole_frame("PppIpv6SkippedSilently", link::ppp, ppp(ipv6_udp(), 0x0057), {}, "", ""));
  c.push_back(one_frame("PppCut", link::ppp, ppp(read_request()), 50, {}, "", only(42, 50)));
  return c;
}

INSTANTIATE_TEST_SUITE_P(LinkLayer, Golden, ::testing::ValuesIn(cases()), case_name());

}  // namespace
}  // namespace golden
