// SPDX-License-Identifier: BSD-2-Clause
#include "input/frame.h"

#include <algorithm>
#include <cstring>

#include "base/cursor.h"
#include "decode/ipv4.h"
#include "decode/ipv6.h"
#include "base/options.h"

namespace {

// libpcap hands no longer frame of the link types handled; a longer one is
// filtered as it is.
constexpr std::size_t MAX_FRAME = 262144;
// The copies of a frame: without its tags, and as the filter sees it. One
// frame is in flight at a time, and neither copy outlives its handler.
std::uint8_t untagged_copy[MAX_FRAME];
std::uint8_t filtered_copy[MAX_FRAME];

constexpr std::size_t TAG_LEN = 4;
constexpr std::size_t NO_IPV6 = static_cast<std::size_t>(-1);

struct frame_ref {
  const u_char *bytes;
  pcap_pkthdr header;

  bytes_t captured() const { return {bytes, header.caplen}; }
};

// TPIDs of 802.1Q, 802.1ad, and the older 0x9100 of QinQ equipment.
bool is_tag(std::uint16_t type) { return type == 0x8100 || type == 0x88a8 || type == 0x9100; }

// A copy of the frame into `to`, without its bytes [from, from + n).
frame_ref copy_without(const frame_ref &f, std::size_t from, std::size_t n, std::uint8_t *to) {
  const bytes_t b = f.captured();
  const bytes_t front = sub_bytes(b, 0, from);
  const bytes_t back = sub_bytes(b, from + n, b.size());
  std::copy(front.begin(), front.end(), to);
  std::copy(back.begin(), back.end(), to + front.size());
  frame_ref out{to, f.header};
  const auto dropped = static_cast<std::uint32_t>(b.size() - front.size() - back.size());
  out.header.caplen -= dropped;
  out.header.len = f.header.len > dropped ? f.header.len - dropped : 0;
  return out;
}

// Each tag is 4 bytes standing where the type was: its TPID, then the tag
// control word, and the type it hides comes after. A tag is only taken off
// when that type was captured. The bytes of the tags to take off, from
// `tag_type_at`; 0 when none are.
std::size_t tag_bytes(const frame_path &path, bytes_t b) {
  const std::size_t at = path.tag_type_at;
  std::size_t tags = 0;
  while (tags < MAX_VLAN_TAGS && is_tag(load_be16(b, at + TAG_LEN * tags)) && b.size() >= at + TAG_LEN * tags + 6)
    ++tags;
  return b.size() > MAX_FRAME ? 0 : TAG_LEN * tags;
}

frame_ref untag(const frame_path &path, const frame_ref &f) {
  const std::size_t cut = tag_bytes(path, f.captured());
  return cut == 0 ? f : copy_without(f, path.tag_type_at, cut, untagged_copy);
}

// libpcap compiles "udp", without optimisation, into a program that first
// loads the link's type (a halfword at a fixed offset), compares it with
// IPv4's, loads the IPv4 protocol byte and compares it with UDP's, and then
// returns at once: four steps of its interpreter for most frames of a
// capture. When the program starts so (as it does without words after
// "udp"), those steps are taken here: a frame they accept is accepted, any
// other goes to the program, which takes the same steps and goes on. A load
// past the captured bytes fails the program, so the shortcut needs them.
filter_shortcut shortcut_of(const bpf_program *program) {
  if (program == nullptr || program->bf_len < 4) return {};
  const bpf_insn *p = program->bf_insns;
  constexpr auto LOAD_HALF = BPF_LD | BPF_H | BPF_ABS, LOAD_BYTE = BPF_LD | BPF_B | BPF_ABS;
  constexpr auto EQUALS = BPF_JMP | BPF_JEQ | BPF_K, RETURN = BPF_RET | BPF_K;
  if (p[0].code != LOAD_HALF || p[1].code != EQUALS || p[1].k != ETHERTYPE_IPV4 || p[1].jt != 0 ||
      p[2].code != LOAD_BYTE || p[3].code != EQUALS || p[3].k != IP_PROTOCOL_UDP)
    return {};
  const std::size_t accept = 4u + p[3].jt;
  if (accept >= program->bf_len || p[accept].code != RETURN || p[accept].k == 0) return {};
  return {true, p[0].k, p[2].k};
}

// How many leading bytes of a frame the program can read: up to its
// furthest load at a fixed offset, or all of them when it loads at an
// offset it computes.
std::size_t reach_of(const bpf_program *program) {
  if (program == nullptr) return 0;
  std::size_t reach = 0;
  for (u_int i = 0; i < program->bf_len; ++i) {
    const bpf_insn &insn = program->bf_insns[i];
    const unsigned cls = BPF_CLASS(insn.code);
    if (cls != BPF_LD && cls != BPF_LDX) continue;
    const unsigned mode = BPF_MODE(insn.code);
    if (mode == BPF_IND) return static_cast<std::size_t>(-1);
    if (mode != BPF_ABS && mode != BPF_MSH) continue;
    const unsigned size = BPF_SIZE(insn.code) == BPF_W ? 4 : BPF_SIZE(insn.code) == BPF_H ? 2 : 1;
    reach = std::max(reach, std::size_t{insn.k} + size);
  }
  return reach;
}

// Where the handler finds an IPv6 packet, as libpcap's filter looks for it.
std::size_t ipv6_at(const link_layout *link, bytes_t b) {
  if (link == nullptr) return NO_IPV6;
  bool ipv6 = false;
  switch (link->protocol) {
    case link_protocol::ip_version: ipv6 = !b.empty() && ip_version(b) == link->ipv6; break;
    case link_protocol::type16: ipv6 = load_be16(b, link->protocol_at) == link->ipv6; break;
    case link_protocol::family32:
      ipv6 = b.size() >= link->protocol_at + 4 && is_null_family_ipv6(load_be32(b, link->protocol_at));
      break;
  }
  return ipv6 ? link->header_len : NO_IPV6;
}

void store_be16(std::uint8_t *to, std::uint16_t v) {
  to[0] = static_cast<std::uint8_t>(v >> 8);
  to[1] = static_cast<std::uint8_t>(v);
}

// An IPv6 frame as the filter is to see it (see ip6_form_for_filter).
frame_ref ipv6_form(const frame_path &path, const frame_ref &f) {
  const bytes_t b = f.captured();
  const std::size_t net = ipv6_at(path.layout, b);
  if (net == NO_IPV6 || b.size() > MAX_FRAME || b.size() < net) return f;
  const ip6_filter_form form = ip6_form_for_filter(b.subspan(net));
  const bool reshaped = form.cut != 0 || form.patch_fragment;
  const bool loopback = path.link_type == DLT_NULL;
  if (!reshaped && !loopback) return f;
  frame_ref out = copy_without(f, net + IP6_HEADER_LEN, form.cut, filtered_copy);
  if (reshaped) {
    std::uint8_t *fixed = filtered_copy + net;
    const bytes_t stored{fixed, IP6_HEADER_LEN};
    store_be16(fixed + IP6_PAYLOAD_LENGTH,
               static_cast<std::uint16_t>(load_be16(stored, IP6_PAYLOAD_LENGTH) - form.cut));
    fixed[IP6_NEXT_HEADER] = form.next_header;
    if (form.patch_fragment) fixed[IP6_HEADER_LEN] = form.fragment_next;
  }
  if (loopback) {
    // libpcap compares the family that it knows, in the file's byte order.
    const std::uint32_t family = path.swapped ? __builtin_bswap32(path.layout->ipv6) : path.layout->ipv6;
    std::memcpy(filtered_copy, &family, sizeof family);
  }
  return out;
}

const frame_path &path_of(u_char *user) { return *reinterpret_cast<const frame_path *>(user); }

// The program's own first four steps, for a frame they accept (see
// shortcut_of).
bool taken_by_shortcut(const filter_shortcut &s, const pcap_pkthdr *header, const u_char *frame) {
  const bytes_t b{frame, header->caplen};
  return s.usable && b.size() >= s.type_at + 2 && load_be16(b, s.type_at) == ETHERTYPE_IPV4 &&
         b.size() > s.protocol_at && b[s.protocol_at] == IP_PROTOCOL_UDP;
}

bool passes(const frame_path &path, const pcap_pkthdr *header, const u_char *frame) {
  return path.filter == nullptr || taken_by_shortcut(path.shortcut, header, frame) ||
         pcap_offline_filter(path.filter, header, frame) != 0;
}

// A link type whose frames carry no tags, without -6.
void take_as_is(u_char *user, const pcap_pkthdr *header, const u_char *frame) {
  const frame_path &path = path_of(user);
  if (passes(path, header, frame)) path.handler(nullptr, header, frame);
}

// A tagged frame without -6, not copied whole. The filter sees the frame
// without its tags, as libpcap compiled it, but can only read its first
// `filter_reach` bytes: only those are copied. The handlers of the link
// types that carry tags read nothing before the type (they only decode what
// follows it), so the handler is given the frame from past the tags' length
// on: from the type onwards, those are the bytes of the frame without its
// tags, at the same offsets, and the header says the same lengths.
template <packet_handler Handler>
__attribute__((noinline)) void take_tagged(const frame_path &path, const pcap_pkthdr *header, const u_char *frame) {
  const bytes_t b{frame, header->caplen};
  const std::size_t cut = tag_bytes(path, b);
  if (cut == 0) {
    if (passes(path, header, frame)) Handler(nullptr, header, frame);
    return;
  }
  pcap_pkthdr untagged = *header;
  untagged.caplen -= static_cast<std::uint32_t>(cut);
  untagged.len = header->len > cut ? header->len - static_cast<std::uint32_t>(cut) : 0;
  if (path.filter != nullptr) {
    const std::size_t seen = std::min<std::size_t>(untagged.caplen, path.filter_reach);
    const std::size_t front = std::min<std::size_t>(seen, path.tag_type_at);
    std::memcpy(untagged_copy, frame, front);
    std::memcpy(untagged_copy + front, frame + front + cut, seen - front);
    if (!taken_by_shortcut(path.shortcut, &untagged, untagged_copy) &&
        pcap_offline_filter(path.filter, &untagged, untagged_copy) == 0)
      return;
  }
  Handler(nullptr, &untagged, frame + cut);
}

// Ethernet and Linux cooked v1 without -6: the first tag, if any, stands at
// `TagAt`.
template <unsigned TagAt, packet_handler Handler>
void take_maybe_tagged(u_char *user, const pcap_pkthdr *header, const u_char *frame) {
  const frame_path &path = path_of(user);
  if (is_tag(load_be16({frame, header->caplen}, TagAt))) {
    take_tagged<Handler>(path, header, frame);
    return;
  }
  if (passes(path, header, frame)) Handler(nullptr, header, frame);
}

// With -6 every frame may need reshaping: its tags taken off (copied whole,
// as the IPv6 form is made from the untagged frame), and an IPv6 packet
// shown to the filter in the form libpcap compiled it for.
void take_any(u_char *user, const pcap_pkthdr *header, const u_char *frame) {
  const frame_path &path = path_of(user);
  const bool tagged = path.tag_type_at != 0 && is_tag(load_be16({frame, header->caplen}, path.tag_type_at));
  const frame_ref f = tagged ? untag(path, {frame, *header}) : frame_ref{frame, *header};
  const frame_ref seen = ipv6_form(path, f);
  if (path.filter != nullptr && pcap_offline_filter(path.filter, &seen.header, seen.bytes) == 0) return;
  path.handler(nullptr, &f.header, f.bytes);
}

}  // namespace

// Where the tags of the two link types that carry them stand.
constexpr unsigned SLL_TYPE_AT = layout_of(DLT_LINUX_SLL)->protocol_at;

frame_path make_frame_path(packet_handler handler, int link_type, const bpf_program *filter, bool swapped) {
  frame_path path;
  path.handler = handler;
  path.link_type = link_type;
  path.layout = layout_of(link_type);
  // Ethernet's type; Linux cooked v1's protocol, which is where `tcpdump -i
  // any -y LINUX_SLL` puts 0x8100 and the tag.
  path.tag_type_at = path.layout != nullptr && path.layout->tagged ? path.layout->protocol_at : 0;
  path.filter = filter;
  path.filter_reach = reach_of(filter);
  path.shortcut = shortcut_of(filter);
  path.swapped = swapped;
  if (decode_ipv6) path.take = take_any;
  else if (link_type == DLT_EN10MB && handler == ether_handler) path.take = take_maybe_tagged<ETHERNET_TYPE_AT, ether_handler>;
  else if (link_type == DLT_LINUX_SLL && handler == sll_handler) path.take = take_maybe_tagged<SLL_TYPE_AT, sll_handler>;
  else path.take = take_as_is;
  return path;
}
