// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <pcap/pcap.h>

#include <cstddef>

#include "decode/link.h"

// The way of every frame of a capture: its VLAN tags taken off, the filter,
// then the handler of its link type.
//
// The filter is the program compiled from the user's text ("udp", or "udp
// and" and the words), and it is run here, with pcap_offline_filter, rather
// than installed with pcap_setfilter: libpcap's "udp" never matches a frame
// behind 802.1Q or 802.1ad tags, nor an IPv6 packet whose UDP header follows
// extension headers, and a text that named the tags ("vlan") would shift the
// offsets of the words after it. So each frame is shown to the program in
// the form libpcap compiled it for:
//   - a tagged frame (Ethernet, Linux cooked v1) as a copy without its tags
//     (of as many bytes as the program can read), and the handler decodes
//     what follows the tags as it would the untagged frame;
//   - with -6, an IPv6 packet as a copy without the extension headers in
//     front of its UDP header (see ip6_form_for_filter), and on BSD loopback
//     with the family libpcap compares; the handler gets the packet as it is.
// Every other frame is filtered as it is, exactly as libpcap would have done
// before calling the handler (pcap_offline_filter runs the same interpreter
// on the same bytes; a frame that the first steps of "udp" accept is
// accepted without it, see filter_shortcut), so untagged IPv4 costs what it
// did: `take`, picked for the link type and the options, looks for a tag at
// a fixed place and calls the handler directly, and only a frame to reshape
// leaves that path.

// The first steps of the filter program, when they are those of "udp"
// taking an IPv4 frame with a UDP datagram (frame.cpp).
struct filter_shortcut {
  bool usable = false;
  std::size_t type_at = 0;      // where the link's type is loaded
  std::size_t protocol_at = 0;  // where the IPv4 protocol byte is loaded
};

struct frame_path {
  // What pcap_loop calls for each frame, with `user` pointing to this path.
  pcap_handler take = nullptr;
  packet_handler handler = nullptr;
  int link_type = 0;
  const link_layout *layout = nullptr;  // null: the link type has none
  // Where a link header holds the type that a tag may take the place of (0:
  // the link type has no tags).
  unsigned tag_type_at = 0;
  const bpf_program *filter = nullptr;  // null: every frame goes through
  // How many leading bytes of a frame the filter can read.
  std::size_t filter_reach = 0;
  filter_shortcut shortcut;
  // The capture file's byte order is not the host's: libpcap compares a
  // BSD loopback family in the file's order.
  bool swapped = false;
};

// The path of a link type's frames through its handler.
frame_path make_frame_path(packet_handler handler, int link_type, const bpf_program *filter, bool swapped);

// Runs one frame along its path: what `take` does.
inline void take_frame(const frame_path &path, const pcap_pkthdr *header, const u_char *frame) {
  path.take(reinterpret_cast<u_char *>(const_cast<frame_path *>(&path)), header, frame);
}

// Tags at most taken off one frame; a deeper stack is left as it is.
inline constexpr unsigned MAX_VLAN_TAGS = 8;
