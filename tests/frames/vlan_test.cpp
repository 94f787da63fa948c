// SPDX-License-Identifier: BSD-2-Clause
// VLAN tags: a stack of 802.1Q/802.1ad tags on Ethernet and Linux cooked v1
// is taken off, and what is inside is filtered and decoded as an untagged
// frame would be, with the same warnings.

#include "golden.h"

namespace golden {
namespace {

using framing = bytes (*)(const bytes &packet, const std::vector<std::uint16_t> &tpids, std::uint16_t type);

// The sample transfer, every frame behind the same tags.
bytes tagged_transfer(std::uint32_t link_type, framing frame, const std::vector<std::uint16_t> &tpids) {
  capture cap(link_type);
  std::uint16_t id = 0x100;
  const auto again = [&](const endpoint &from, const endpoint &to, const bytes &payload) {
    cap.frame(frame(udp_packet(from.addr, from.port, to.addr, to.port, payload, id++), tpids, 0x0800));
  };
  again(client, server, tftp::rrq("f"));
  again(server_tid, client, tftp::data(1, fill(512, 'a')));
  again(client, server_tid, tftp::ack(1));
  again(server_tid, client, tftp::data(2, text("end")));
  again(client, server_tid, tftp::ack(2));
  return cap.file();
}

golden_case transfer_case(std::string name, std::uint32_t link_type, framing frame,
                          const std::vector<std::uint16_t> &tpids) {
  return {.name = std::move(name),
          .capture = tagged_transfer(link_type, frame, tpids),
          .args = with_input({"-v"}),
          .status = 0,
          .out = read_line,
          .err = reading(static_cast<int>(link_type)),
          .files = {{sample_name, sample_content()}}};
}

golden_case frame_case(std::string name, const bytes &frame, std::uint32_t wire_len, std::vector<std::string> args,
                       std::string out, std::string warnings) {
  capture cap;
  cap.frame(frame, wire_len);
  args.insert(args.begin(), "-v");
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input(std::move(args)),
          .status = 0,
          .out = std::move(out),
          .err = reading() + warnings};
}

golden_case frame_case(std::string name, const bytes &frame, std::vector<std::string> args, std::string out,
                       std::string warnings) {
  return frame_case(std::move(name), frame, static_cast<std::uint32_t>(frame.size()), std::move(args),
                    std::move(out), std::move(warnings));
}

// A TCP segment to port 69, which only words joined by "or" let through.
bytes tcp_like_to_port_69() {
  const bytes tcp = be16(1025) + be16(69) + be32(1) + be32(0) + bytes{0x50, 0x02} + be16(1024) + be16(0) + be16(0);
  auto p = ipv4("10.0.0.1", "10.0.0.2", tcp);
  p.protocol = 6;
  return p.build();
}

// Requests to port 69 and 70 from two clients, tagged and not: which of
// them a filter keeps shows that its words read inside the tags.
bytes mixed_requests() {
  capture cap;
  cap.frame(ethernet_tagged(udp_packet("10.0.0.1", 1025, "10.0.0.2", 69, tftp::rrq("a")), {0x8100}));
  cap.frame(ethernet_tagged(udp_packet("10.0.0.3", 1026, "10.0.0.2", 70, tftp::rrq("b")), {0x88a8, 0x8100}));
  cap.packet(udp_packet("10.0.0.1", 1027, "10.0.0.2", 70, tftp::rrq("c")));
  cap.frame(ethernet_tagged(tcp_like_to_port_69(), {0x8100}));
  return cap.file();
}

std::vector<golden_case> cases() {
  const std::vector<std::uint16_t> one{0x8100}, qinq{0x88a8, 0x8100}, old_qinq{0x9100, 0x8100};
  const std::vector<std::uint16_t> eight(8, 0x8100), nine(9, 0x8100);
  std::vector<golden_case> c;

  // Tag stacks on each link type that carries them.
  c.push_back(transfer_case("EthernetOneTag", link::ethernet, ethernet_tagged, one));
  c.push_back(transfer_case("EthernetQinQ", link::ethernet, ethernet_tagged, qinq));
  c.push_back(transfer_case("EthernetOlderQinQ", link::ethernet, ethernet_tagged, old_qinq));
  c.push_back(transfer_case("EthernetEightTags", link::ethernet, ethernet_tagged, eight));
  c.push_back(transfer_case("LinuxSllOneTag", link::linux_sll, linux_sll_tagged, one));
  c.push_back(transfer_case("LinuxSllQinQ", link::linux_sll, linux_sll_tagged, qinq));

  // Past eight tags the frame is left as it is: the filter's "udp" does not
  // match it, and words that let it through meet the untagged frame's
  // warning for its type.
  c.push_back(frame_case("NineTagsAreNotTakenOff", ethernet_tagged(read_request(), nine), {}, "", ""));
  c.push_back(frame_case("NineTagsWithWordsThatPassAll", ethernet_tagged(read_request(), nine), pass_all, "",
                         warning("ethernet has wrong type: 33024")));
  // A tag whose inner type was not captured stays on.
  c.push_back(frame_case("TagCutOff", slice(ethernet_tagged(read_request(), one), 0, 17), pass_all, "",
                         warning("ethernet has wrong type: 33024")));

  // What is not IPv4 gets the untagged frame's warning.
  c.push_back(frame_case("TaggedArp", ethernet_tagged(fill(28, 0), one, 0x0806), pass_all, "",
                         warning("ethernet has wrong type: 2054")));
  c.push_back(frame_case("TaggedIpv6WithoutOption",
                         ethernet_tagged(udp6_packet("fd00::1", 1025, "fd00::2", 69, tftp::rrq("f")), qinq, 0x86dd),
                         {}, "", warning("ethernet has wrong type: 34525")));
  c.push_back(frame_case("TaggedIpv6", ethernet_tagged(udp6_packet("fd00::1", 1025, "fd00::2", 69, tftp::rrq("f")), qinq, 0x86dd),
                         {"-6"}, "READ  fd00::1:1025 > fd00::2:69 \"f\" octet\n", ""));
  c.push_back(frame_case("TaggedPartialIp", ethernet_tagged(slice(read_request(), 0, 30), one), {}, "",
                         warning("partial ip packet; length: 38, captured: 30; id=1")));

  // A full-size frame whose wire length counts the frame check sequence,
  // behind one and two tags.
  {
    auto p = ipv4("10.0.0.1", "10.0.0.2", padded_read_request_datagram(1480));
    const bytes request = p.build();
    c.push_back(frame_case("TaggedFullSizeWithoutFcs", ethernet_tagged(request, one), 1522, {}, read_line, ""));
    c.push_back(frame_case("QinQFullSizeWithoutFcs", ethernet_tagged(request, qinq), 1526, {}, read_line, ""));
  }

  // The filter's words apply inside the tags as they do to an untagged
  // frame; "or" keeps libpcap's grouping.
  const std::string a = "READ  10.0.0.1:1025 > 10.0.0.2:69 \"a\" octet\n";
  const std::string b = "READ  10.0.0.3:1026 > 10.0.0.2:70 \"b\" octet\n";
  const std::string cc = "READ  10.0.0.1:1027 > 10.0.0.2:70 \"c\" octet\n";
  const auto words_case = [&](std::string name, std::vector<std::string> words, std::string out,
                              std::string warnings = "") {
    words.insert(words.begin(), "-v");
    return golden_case{.name = std::move(name),
                       .capture = mixed_requests(),
                       .args = with_input(std::move(words)),
                       .status = 0,
                       .out = std::move(out),
                       .err = reading() + warnings};
  };
  c.push_back(words_case("NoWords", {}, a + b + cc));
  c.push_back(words_case("PortWord", {"port", "69"}, a));
  c.push_back(words_case("HostWord", {"host", "10.0.0.3"}, b));
  c.push_back(words_case("PortWordMissesTaggedAndUntagged", {"port", "71"}, ""));
  c.push_back(words_case("OrWord", {"host", "10.0.0.3", "or", "port", "69"}, a + b,
                         warning("unexpected protocol 6; not udp")));
  c.push_back(words_case("VlanWordSeesNoTags", {"vlan"}, ""));
  // Words on the link addresses, in front of the tags, see them too.
  c.push_back(words_case("EtherSrcWord", {"ether", "src", "02:00:00:00:00:01"}, a + b + cc));
  c.push_back(words_case("EtherSrcWordMisses", {"ether", "src", "02:00:00:00:00:02"}, ""));
  return c;
}

INSTANTIATE_TEST_SUITE_P(Vlan, Golden, ::testing::ValuesIn(cases()), case_name());

}  // namespace
}  // namespace golden
