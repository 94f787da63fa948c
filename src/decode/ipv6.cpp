// SPDX-License-Identifier: BSD-2-Clause
#include "decode/ipv6.h"

#include "decode/fragment.h"
#include "decode/ipv4.h"
#include "decode/udp.h"
#include "base/log.h"

namespace {

constexpr std::uint8_t ROUTING_SOURCE_ROUTE = 0;  // deprecated, still seen on the wire
constexpr std::uint8_t ROUTING_MOBILE = 2;
constexpr std::uint8_t ROUTING_SEGMENTS = 4;
constexpr std::uint16_t FRAGMENT_MORE = 1;

bool steps_over(std::uint8_t header) {
  return header == IP6_HOP_BY_HOP || header == IP6_ROUTING || header == IP6_DESTINATION_OPTIONS;
}

// The fields of a fragment header.
struct fragment_fields {
  std::uint8_t next;
  unsigned offset_units;
  bool more;
  std::uint32_t id;
};

fragment_fields read_fragment(bytes_t header) {
  wire_cursor c(header);
  fragment_fields f{};
  f.next = c.u8();
  c.skip(1);
  const std::uint16_t word = c.be16();
  f.offset_units = word >> 3;
  f.more = (word & FRAGMENT_MORE) != 0;
  f.id = c.be32();
  return f;
}

}  // namespace

void ip6_header_walk::note_routing(bytes_t header) {
  // header: next header, length, type, segments left, then per type.
  const std::uint8_t type = load_u8(header, 2);
  const std::uint8_t segments_left = load_u8(header, 3);
  // With no segment left, the fixed header's destination is the final one.
  if (segments_left == 0) return;
  const std::size_t addresses = (header.size() - 8) / IP6_ADDRESS_LEN;
  if (addresses == 0) return;
  const std::size_t start = at_ + 8;
  if (type == ROUTING_SOURCE_ROUTE || type == ROUTING_MOBILE) {
    // The addresses still to visit, the final one last.
    final_destination_at_ = start + (addresses - 1) * IP6_ADDRESS_LEN;
  } else if (type == ROUTING_SEGMENTS) {
    // Segments are listed from the last to visit: the first is final.
    final_destination_at_ = start;
  }
}

ip6_header_walk::stop ip6_header_walk::run() {
  while (steps_over(protocol_)) {
    if (headers_ >= IP6_MAX_EXTENSION_HEADERS) return stop::too_many;
    if (left() < 2) {
      needed_ = 2;
      return stop::cut;
    }
    const std::size_t length = (static_cast<std::size_t>(load_u8(region_, at_ + 1)) + 1) * 8;
    if (left() < length) {
      needed_ = length;
      return stop::cut;
    }
    const bytes_t header = region_.subspan(at_, length);
    if (protocol_ == IP6_ROUTING) note_routing(header);
    protocol_ = load_u8(header, 0);
    at_ += length;
    ++headers_;
  }
  if (protocol_ == IP6_FRAGMENT && headers_ >= IP6_MAX_EXTENSION_HEADERS) return stop::too_many;
  return stop::header;
}

namespace {

// Whether the walk reached a header to look at; warns when it did not.
bool walked(ip6_header_walk &walk) {
  switch (walk.run()) {
    case ip6_header_walk::stop::header:
      return true;
    case ip6_header_walk::stop::cut:
      log_warning("ipv6 extension header %d is not valid; %d bytes, but should be at least %d", walk.protocol(),
                  static_cast<int>(walk.left()), static_cast<int>(walk.needed()));
      return false;
    case ip6_header_walk::stop::too_many:
      log_warning("too many ipv6 extension headers; more than %d", IP6_MAX_EXTENSION_HEADERS);
      return false;
  }
  return false;
}

// The UDP datagram behind the headers that the walk stepped over, or a
// warning when another protocol follows them. A routing header among them
// names the destination the checksum covers.
void decode_upper(bytes_t region, const ip6_header_walk &walk, ip6_origin origin) {
  if (walk.protocol() != IP_PROTOCOL_UDP) {
    log_warning("unexpected protocol %d; not udp", walk.protocol());
    return;
  }
  if (walk.final_destination_at() != ip6_header_walk::npos)
    origin.pseudo_dst = load_array<IP6_ADDRESS_LEN>(region, walk.final_destination_at());
  decode_udp6(region.subspan(walk.at()), origin);
}

void decode_fragment6(const ip6_origin &origin, const fragment_fields &f, bytes_t piece) {
  fragment_t *record = frag_add6({origin, f.next}, f.offset_units, f.more, piece);
  if (record == nullptr || frag_reassemble(record) == 0) return;

  // The fragmentable part, whole: any headers still in front of UDP (a
  // second fragment header among them is not followed).
  const bytes_t datagram{record->packet, record->length};
  const fragment_origin6 &shared = record->v6->shared;
  ip6_header_walk rest(datagram, shared.next_header);
  if (walked(rest)) decode_upper(datagram, rest, shared.origin);
  frag_release(record);
}

}  // namespace

void decode_ip6(bytes_t packet) {
  const auto caplen = static_cast<std::uint32_t>(packet.size());
  if (caplen < IP6_HEADER_LEN) {
    log_warning("ipv6 header is not valid; %d bytes, but should be at least %d", caplen,
                static_cast<int>(IP6_HEADER_LEN));
    return;
  }
  const unsigned version = load_u8(packet, 0) >> 4;
  if (version != 6) {
    log_warning("unexpected version %d; not 6", version);
    return;
  }
  const std::uint32_t payload_length = load_be16(packet, IP6_PAYLOAD_LENGTH);
  if (payload_length > caplen - IP6_HEADER_LEN) {
    log_warning("partial ipv6 packet; payload length: %d, captured: %d", payload_length,
                static_cast<int>(caplen - IP6_HEADER_LEN));
    return;
  }
  const bytes_t payload = packet.subspan(IP6_HEADER_LEN, payload_length);
  ip6_origin origin{};
  origin.src = load_array<IP6_ADDRESS_LEN>(packet, IP6_SRC);
  origin.dst = load_array<IP6_ADDRESS_LEN>(packet, IP6_DST);
  origin.pseudo_dst = origin.dst;
  ip6_header_walk walk(payload, load_u8(packet, IP6_NEXT_HEADER));
  if (!walked(walk)) return;
  if (walk.protocol() == IP6_FRAGMENT) {
    if (walk.left() < IP6_FRAGMENT_HEADER_LEN) {
      log_warning("ipv6 extension header %d is not valid; %d bytes, but should be at least %d", IP6_FRAGMENT,
                  static_cast<int>(walk.left()), static_cast<int>(IP6_FRAGMENT_HEADER_LEN));
      return;
    }
    const fragment_fields f = read_fragment(payload.subspan(walk.at(), IP6_FRAGMENT_HEADER_LEN));
    const std::size_t behind = walk.at() + IP6_FRAGMENT_HEADER_LEN;
    origin.id = f.id;
    if (f.offset_units != 0 || f.more) {
      // A routing header stands in the part that every piece repeats.
      if (walk.final_destination_at() != ip6_header_walk::npos)
        origin.pseudo_dst = load_array<IP6_ADDRESS_LEN>(payload, walk.final_destination_at());
      decode_fragment6(origin, f, payload.subspan(behind));
      return;
    }
    // An atomic fragment: the whole datagram behind a fragment header.
    walk.resume(f.next, behind);
    if (!walked(walk)) return;
  }
  decode_upper(payload, walk, origin);
}

ip6_filter_form ip6_form_for_filter(bytes_t packet) {
  ip6_filter_form form;
  if (packet.size() < IP6_HEADER_LEN) return form;
  const std::uint8_t first = load_u8(packet, IP6_NEXT_HEADER);
  if (first == IP_PROTOCOL_UDP) return form;
  const bytes_t payload = sub_bytes(packet, IP6_HEADER_LEN, load_be16(packet, IP6_PAYLOAD_LENGTH));
  ip6_header_walk walk(payload, first);
  if (walk.run() != ip6_header_walk::stop::header) return form;
  if (walk.protocol() == IP6_FRAGMENT) {
    if (walk.left() < IP6_FRAGMENT_HEADER_LEN) return form;
    const fragment_fields f = read_fragment(payload.subspan(walk.at(), IP6_FRAGMENT_HEADER_LEN));
    if (f.offset_units != 0) {
      // A later piece holds no UDP header: the filter sees it behind its
      // fragment header alone, as libpcap's "udp" knows it, so that words
      // about ports fail on it as they do on a later IPv4 fragment.
      form.cut = walk.at();
      form.next_header = IP6_FRAGMENT;
      form.patch_fragment = true;
      form.fragment_next = steps_over(f.next) ? IP_PROTOCOL_UDP : f.next;
      return form;
    }
    // The first piece (or an atomic fragment) shows the headers behind it,
    // as an unfragmented packet would.
    walk.resume(f.next, walk.at() + IP6_FRAGMENT_HEADER_LEN);
    if (walk.run() != ip6_header_walk::stop::header || walk.protocol() == IP6_FRAGMENT) return form;
  }
  form.cut = walk.at();
  form.next_header = walk.protocol();
  return form;
}
