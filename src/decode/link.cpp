// SPDX-License-Identifier: BSD-2-Clause
#include "decode/link.h"

#include <array>

#include "decode/ipv4.h"
#include "decode/ipv6.h"
#include "base/cursor.h"
#include "base/log.h"
#include "report/hints.h"

namespace {

constexpr const link_layout &NULL_LINK = *layout_of(DLT_NULL);
constexpr const link_layout &PPP_LINK = *layout_of(DLT_PPP);
constexpr const link_layout &SLL_LINK = *layout_of(DLT_LINUX_SLL);
constexpr const link_layout &SLL2_LINK = *layout_of(LINK_TYPE_LINUX_SLL2);

bytes_t frame_bytes(const u_char *frame, std::uint32_t length) { return {frame, length}; }

// The handlers other than Ethernet insist on a frame captured whole, and then
// on a minimum length of their own header.
bool captured_whole(const pcap_pkthdr *h) {
  if (h->caplen == h->len) return true;
  hint_count(hint::cut_frame);
  log_warning("only %d bytes of %d bytes were captured", h->caplen, h->len);
  return false;
}

bool long_enough(const char *what, std::uint32_t len, std::uint32_t minimum) {
  if (len >= minimum) return true;
  log_warning("%s is not valid; %d bytes, but should be at least %d", what, len, minimum);
  return false;
}

// A frame cooked with a fixed header whose payload is not looked at here:
// decode_ip rejects whatever is not IPv4. With -6 the protocol field, at
// `protocol_at`, picks IPv6 out first.
void cooked_frame(const char *what, const link_layout &link, const pcap_pkthdr *h, const u_char *frame) {
  if (!captured_whole(h) || !long_enough(what, h->len, link.header_len)) return;
  const bytes_t bytes = frame_bytes(frame, h->len);
  if (decode_ipv6 && load_be16(bytes, link.protocol_at) == link.ipv6) decode_ip6(bytes.subspan(link.header_len));
  else decode_ip(bytes.subspan(link.header_len));
}

// An IPv6 packet where the link type says so: read with -6, otherwise
// counted for the summary's hint.
void skip_or_decode_ip6(bytes_t packet) {
  if (decode_ipv6) decode_ip6(packet);
  else hint_count(hint::ipv6_skipped);
}

}  // namespace

packet_handler handler_for_datalink(int link_type) {
  if (const link_layout *layout = layout_of(link_type)) return layout->handler;
  log_error(2, "unable to find handler for type %d", link_type);
  return nullptr;
}

void ether_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  constexpr std::uint32_t header_len = ETHERNET_HEADER_LEN;
  constexpr std::uint32_t snap_header_len = SNAP_HEADER_LEN;
  if (h->caplen < header_len) {
    log_warning("ethernet is not valid; %d bytes, but should be at least %d", h->caplen, header_len);
    return;
  }
  std::uint32_t length;
  if (h->caplen == h->len) {
    length = h->len;
  } else if (h->len == 1518 && h->caplen >= 1514) {
    // A maximum-size frame whose wire length counts the frame check sequence.
    length = 1514;
  } else if (h->caplen > h->len) {
    length = h->len;
  } else {
    hint_count(hint::cut_frame);
    log_warning("only %d bytes of %d bytes were captured", h->caplen, h->len);
    return;
  }
  if (length < header_len) {
    // More captured than was on the wire, and the wire length is too short
    // to hold the header: nothing sensible lies behind it.
    log_warning("ethernet is not valid; %d bytes, but should be at least %d", length, header_len);
    return;
  }
  const bytes_t bytes = frame_bytes(frame, length);
  const std::uint16_t type = load_be16(bytes, ETHERNET_TYPE_AT);
  if (type == ETHERTYPE_IPV4) {
    decode_ip(bytes.subspan(header_len));
  } else if (decode_ipv6 && type == ETHERTYPE_IPV6) {
    decode_ip6(bytes.subspan(header_len));
  } else if (length >= snap_header_len && load_be16(bytes, SNAP_TYPE_AT) == ETHERTYPE_IPV4) {
    decode_ip(bytes.subspan(snap_header_len));
  } else if (decode_ipv6 && length >= snap_header_len && load_be16(bytes, SNAP_TYPE_AT) == ETHERTYPE_IPV6) {
    decode_ip6(bytes.subspan(snap_header_len));
  } else {
    if (type == ETHERTYPE_IPV6 || (length >= snap_header_len && load_be16(bytes, SNAP_TYPE_AT) == ETHERTYPE_IPV6))
      hint_count(hint::ipv6_skipped);
    log_warning("ethernet has wrong type: %d", type);
  }
}

void raw_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  if (!captured_whole(h)) return;
  const bytes_t bytes = frame_bytes(frame, h->len);
  if (decode_ipv6 && ip_version(bytes) == 6) decode_ip6(bytes);
  else decode_ip(bytes);
}

bool is_null_family_ipv6(std::uint32_t family) {
  const std::uint32_t swapped = __builtin_bswap32(family);
  for (const std::uint32_t f : NULL_FAMILIES_IPV6)
    if (family == f || swapped == f) return true;
  return false;
}

// BSD loopback: a 4-byte address family in the byte order of the host that
// captured it, so both orders are accepted.
void null_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  constexpr std::uint32_t header_len = NULL_LINK.header_len;
  if (!captured_whole(h) || !long_enough("null", h->len, header_len)) return;
  const bytes_t bytes = frame_bytes(frame, h->len);
  const std::uint32_t family = load_be32(bytes, NULL_LINK.protocol_at);
  const std::uint32_t swapped = __builtin_bswap32(family);
  if (family == NULL_LINK.ipv4 || swapped == NULL_LINK.ipv4) decode_ip(bytes.subspan(header_len));
  else if (is_null_family_ipv6(family)) skip_or_decode_ip6(bytes.subspan(header_len));
}

void sll_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  cooked_frame("linux_sll", SLL_LINK, h, frame);
}

void sll2_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  cooked_frame("linux_sll2", SLL2_LINK, h, frame);
}

void ppp_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  constexpr std::uint32_t header_len = PPP_LINK.header_len;
  if (!captured_whole(h) || !long_enough("ppp", h->len, header_len)) return;
  const bytes_t bytes = frame_bytes(frame, h->len);
  const std::uint16_t protocol = load_be16(bytes, PPP_LINK.protocol_at);
  if (protocol == PPP_LINK.ipv4) decode_ip(bytes.subspan(header_len));
  else if (protocol == PPP_LINK.ipv6) skip_or_decode_ip6(bytes.subspan(header_len));
}
