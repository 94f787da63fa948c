// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// decode/: from a frame's link header to a UDP datagram of TFTP: the link
// handlers, IPv4 and IPv6 with their extension headers, fragment
// reassembly, checksums and UDP. It hands datagrams to tftp/ and never
// touches the capture file, a transfer's record or an output file.

#include <pcap/pcap.h>

// The type of every link-layer handler that libpcap calls once per frame.
using packet_handler = pcap_handler;

#include <array>
#include <cstdint>

// Link type 276, Linux cooked capture version 2, which `tcpdump -i any` writes.
inline constexpr int LINK_TYPE_LINUX_SLL2 = 276;

inline constexpr std::uint16_t ETHERTYPE_IPV4 = 0x0800;
inline constexpr std::uint16_t ETHERTYPE_IPV6 = 0x86DD;

// The address families that BSD loopback captures give IPv6: Linux's,
// NetBSD's and OpenBSD's, FreeBSD's and Darwin's.
inline constexpr std::array<std::uint32_t, 4> NULL_FAMILIES_IPV6{10, 24, 28, 30};
// In either byte order.
bool is_null_family_ipv6(std::uint32_t family);

void ether_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void raw_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void null_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void sll_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void sll2_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void ppp_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);

// How a link header names the network protocol behind it.
enum class link_protocol {
  ip_version,  // not at all: the packet's own version says (raw IP)
  type16,      // a 16-bit type in network order
  family32,    // a 32-bit address family in the capturing host's byte order
};

// Where a link type's header puts the network packet, as the handlers read
// it and as libpcap's filter compiles it: the frame path reads the same
// table to find an IPv6 packet and VLAN tags.
struct link_layout {
  int link_type;
  packet_handler handler;
  std::uint32_t header_len;   // the packet follows
  link_protocol protocol;
  std::uint32_t protocol_at;  // where the link header names the protocol
  std::uint32_t ipv4;         // its value for IPv4
  std::uint32_t ipv6;         // and for IPv6 (BSD loopback: the family libpcap's "ip6" compares)
  bool tagged;                // VLAN tags may stand where the type is
};

// An Ethernet header; and with an LLC/SNAP header after it, whose type
// stands where token ring's does behind its own.
inline constexpr std::uint32_t ETHERNET_HEADER_LEN = 14, ETHERNET_TYPE_AT = 12;
inline constexpr std::uint32_t SNAP_HEADER_LEN = 22, SNAP_TYPE_AT = 20;

inline constexpr std::array<link_layout, 7> LINK_LAYOUTS{{
    {DLT_NULL, null_handler, 4, link_protocol::family32, 0, 2, NULL_FAMILIES_IPV6[1], false},
    {DLT_EN10MB, ether_handler, ETHERNET_HEADER_LEN, link_protocol::type16, ETHERNET_TYPE_AT, ETHERTYPE_IPV4,
     ETHERTYPE_IPV6, true},
    // Token ring: decoded as Ethernet first, and filtered behind LLC/SNAP.
    {DLT_IEEE802, ether_handler, SNAP_HEADER_LEN, link_protocol::type16, SNAP_TYPE_AT, ETHERTYPE_IPV4,
     ETHERTYPE_IPV6, false},
    {DLT_PPP, ppp_handler, 4, link_protocol::type16, 2, 0x0021, 0x0057, false},
    {DLT_RAW, raw_handler, 0, link_protocol::ip_version, 0, 4, 6, false},
    {DLT_LINUX_SLL, sll_handler, 16, link_protocol::type16, 14, ETHERTYPE_IPV4, ETHERTYPE_IPV6, true},
    {LINK_TYPE_LINUX_SLL2, sll2_handler, 20, link_protocol::type16, 0, ETHERTYPE_IPV4, ETHERTYPE_IPV6, false},
}};

// The layout of a link type; null when it has none.
constexpr const link_layout *layout_of(int link_type) {
  for (const link_layout &layout : LINK_LAYOUTS)
    if (layout.link_type == link_type) return &layout;
  return nullptr;
}

// Returns the handler for a capture's link type; ends the process with status
// 2 when there is none.
packet_handler handler_for_datalink(int link_type);
