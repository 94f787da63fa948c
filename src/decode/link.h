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

// Returns the handler for a capture's link type; ends the process with status
// 2 when there is none.
packet_handler handler_for_datalink(int link_type);

void ether_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void raw_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void null_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void sll_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void sll2_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
void ppp_handler(u_char *user, const pcap_pkthdr *header, const u_char *frame);
