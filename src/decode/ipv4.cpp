// SPDX-License-Identifier: BSD-2-Clause
#include "decode/ipv4.h"

#include <algorithm>

#include "decode/fragment.h"
#include "decode/udp.h"
#include "base/log.h"
#include "report/hints.h"

namespace {

void decode_fragment(bytes_t packet, std::uint16_t frag_word, bytes_t payload) {
  fragment_t *record =
      frag_add(packet, frag_word & IP_FRAG_OFFSET_MASK, frag_word & IP_FRAG_MORE, payload);
  if (record == nullptr || frag_reassemble(record) == 0) return;
  decode_udp(bytes_t{record->packet, record->length}, bytes_t{record->header, IP_HEADER_MIN});
  frag_release(record);
}

}  // namespace

void decode_ip(bytes_t packet) {
  const auto caplen = static_cast<std::uint32_t>(packet.size());
  if (caplen < IP_HEADER_MIN) {
    log_warning("ip header is not valid; %d bytes, but should be at least %d", caplen,
                static_cast<int>(IP_HEADER_MIN));
    return;
  }
  const unsigned version = ip_version(packet);
  if (version != 4) {
    if (version == 6) hint_count(hint::ipv6_skipped);
    log_warning("unexpected version %d; not 4", version);
    return;
  }
  const unsigned protocol = load_u8(packet, IP_PROTOCOL);
  if (protocol != IP_PROTOCOL_UDP) {
    log_warning("unexpected protocol %d; not udp", protocol);
    return;
  }
  const std::uint32_t total = load_be16(packet, IP_TOTAL_LENGTH);
  const std::uint32_t header_len = ip_header_length(packet);
  const unsigned id = load_be16(packet, IP_ID);
  if (total > caplen) {
    log_warning("partial ip packet; length: %d, captured: %d; id=%d", total, caplen, id);
    return;
  }
  if (total < header_len) {
    log_warning("partial ip packet; length: %d, header length: %d; id=%d", total, header_len, id);
    return;
  }
  const std::uint16_t sum = ip_checksum(packet.first(header_len), 0);
  if (sum != 0) {
    if (check_checksums) {
      log_warning("invalid ip checksum; checksum=%x; id=%d", sum, id);
      return;
    }
    log_debug(3, "allowing invalid ip checksum; checksum=%x", sum);
  }
  const bytes_t payload = packet.subspan(header_len, total - header_len);
  const std::uint16_t frag_word = load_be16(packet, IP_FRAG_WORD);
  if ((frag_word & IP_FRAG_FIELD_MASK) == 0) {
    // A header-length nibble below 5 still leaves the addresses in the first
    // 20 bytes, which the caller has captured.
    decode_udp(payload, packet.first(std::max<std::size_t>(header_len, IP_HEADER_MIN)));
  } else {
    decode_fragment(packet, frag_word, payload);
  }
}
