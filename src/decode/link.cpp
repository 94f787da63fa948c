#include "decode/link.h"

#include <array>

#include "decode/ipv4.h"
#include "decode/ipv6.h"
#include "base/cursor.h"
#include "base/log.h"

namespace {

constexpr std::uint16_t PPP_IPV4 = 0x0021;
constexpr std::uint16_t PPP_IPV6 = 0x0057;
constexpr std::uint32_t NULL_FAMILY_INET = 2;

struct link_entry {
  int link_type;
  packet_handler handler;
};

constexpr std::array<link_entry, 7> link_table{{
    {DLT_NULL, null_handler},
    {DLT_EN10MB, ether_handler},
    {DLT_IEEE802, ether_handler},
    {DLT_PPP, ppp_handler},
    {DLT_RAW, raw_handler},
    {DLT_LINUX_SLL, sll_handler},
    {LINK_TYPE_LINUX_SLL2, sll2_handler},
}};

bytes_t frame_bytes(const u_char *frame, std::uint32_t length) { return {frame, length}; }

// The handlers other than Ethernet insist on a frame captured whole, and then
// on a minimum length of their own header.
bool captured_whole(const pcap_pkthdr *h) {
  if (h->caplen == h->len) return true;
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
void cooked_frame(const char *what, std::uint32_t header_len, std::uint32_t protocol_at, const pcap_pkthdr *h,
                  const u_char *frame) {
  if (!captured_whole(h) || !long_enough(what, h->len, header_len)) return;
  const bytes_t bytes = frame_bytes(frame, h->len);
  if (decode_ipv6 && load_be16(bytes, protocol_at) == ETHERTYPE_IPV6) decode_ip6(bytes.subspan(header_len));
  else decode_ip(bytes.subspan(header_len));
}

}  // namespace

packet_handler handler_for_datalink(int link_type) {
  for (const auto &entry : link_table)
    if (entry.link_type == link_type) return entry.handler;
  log_error(2, "unable to find handler for type %d", link_type);
  return nullptr;
}

void ether_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  constexpr std::uint32_t header_len = 14;
  constexpr std::uint32_t snap_header_len = 22;
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
  const std::uint16_t type = load_be16(bytes, 12);
  if (type == ETHERTYPE_IPV4) {
    decode_ip(bytes.subspan(header_len));
  } else if (decode_ipv6 && type == ETHERTYPE_IPV6) {
    decode_ip6(bytes.subspan(header_len));
  } else if (length >= snap_header_len && load_be16(bytes, 20) == ETHERTYPE_IPV4) {
    decode_ip(bytes.subspan(snap_header_len));
  } else if (decode_ipv6 && length >= snap_header_len && load_be16(bytes, 20) == ETHERTYPE_IPV6) {
    decode_ip6(bytes.subspan(snap_header_len));
  } else {
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
  constexpr std::uint32_t header_len = 4;
  if (!captured_whole(h) || !long_enough("null", h->len, header_len)) return;
  const bytes_t bytes = frame_bytes(frame, h->len);
  const std::uint32_t family = load_be32(bytes, 0);
  const std::uint32_t swapped = __builtin_bswap32(family);
  if (family == NULL_FAMILY_INET || swapped == NULL_FAMILY_INET) decode_ip(bytes.subspan(header_len));
  else if (decode_ipv6 && is_null_family_ipv6(family)) decode_ip6(bytes.subspan(header_len));
}

void sll_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  cooked_frame("linux_sll", 16, 14, h, frame);
}

void sll2_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  cooked_frame("linux_sll2", 20, 0, h, frame);
}

void ppp_handler(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  constexpr std::uint32_t header_len = 4;
  if (!captured_whole(h) || !long_enough("ppp", h->len, header_len)) return;
  const bytes_t bytes = frame_bytes(frame, h->len);
  const std::uint16_t protocol = load_be16(bytes, 2);
  if (protocol == PPP_IPV4) decode_ip(bytes.subspan(header_len));
  else if (decode_ipv6 && protocol == PPP_IPV6) decode_ip6(bytes.subspan(header_len));
}
