// SPDX-License-Identifier: BSD-2-Clause
#include "decode/udp.h"

#include <new>

#include "base/address.h"
#include "base/tftp_message.h"
#include "decode/ipv4.h"
#include "report/trace.h"
#include "base/log.h"
#include "tftp/match.h"
#include "tftp/new_transfer.h"
#include "tftp/transfer.h"

namespace {

constexpr std::uint32_t UDP_HEADER_LEN = 8;
constexpr std::uint8_t IPOPT_END = 0;
constexpr std::uint8_t IPOPT_NOP = 1;
constexpr std::uint8_t IPOPT_LSRR = 131;
constexpr std::uint8_t IPOPT_SSRR = 137;

// The final address of a well-formed source-route option, or 0.
std::uint32_t route_final_hop(bytes_t option) {
  const std::size_t l = option.size();
  const std::uint8_t pointer = load_u8(option, 2);
  if (l < 7 || pointer < 4 || pointer > l || pointer % 4 != 0) return 0;
  return load_raw32(option, l - 4);
}

}  // namespace

std::uint32_t final_destination(bytes_t ip_header) {
  const std::uint32_t stated = ip_header_length(ip_header);
  const std::uint32_t destination = load_raw32(ip_header, IP_DST);
  if (stated <= IP_HEADER_MIN || ip_header.size() <= IP_HEADER_MIN) return destination;
  const bytes_t options = sub_bytes(ip_header, IP_HEADER_MIN, stated - IP_HEADER_MIN);
  const std::size_t room = stated - IP_HEADER_MIN;
  wire_cursor c(options);
  while (c.remaining() > 0) {
    const std::size_t start = options.size() - c.remaining();
    const std::uint8_t type = c.u8();
    if (type == IPOPT_NOP) continue;
    if (type == IPOPT_END || c.remaining() == 0) break;
    const std::uint8_t l = c.u8();
    if (l < 2 || start + l > room) break;
    if (type == IPOPT_LSRR || type == IPOPT_SSRR) {
      const std::uint32_t hop = route_final_hop(sub_bytes(options, start, l));
      return hop != 0 ? hop : destination;
    }
    if (!c.skip(l - 2u)) break;
  }
  return destination;
}

namespace {

std::uint16_t udp_checksum(bytes_t ip_header, bytes_t datagram) {
  const std::uint32_t src = load_raw32(ip_header, IP_SRC);
  const std::uint32_t dst = final_destination(ip_header);
  std::uint32_t sum = (src & 0xffff) + (src >> 16) + (dst & 0xffff) + (dst >> 16);
  sum += 17u << 8;  // a zero byte, then the protocol, first byte low-order
  sum += static_cast<std::uint32_t>(load_u8(datagram, 4) | load_u8(datagram, 5) << 8);
  return ip_checksum(datagram, sum);
}

// Offers the payload to TFTP tracking and traces the outcome.
inline void offer_payload(bytes_t payload, const datagram_ends &ends) {
  tftp_msg_t msg;
  trace_outcome outcome;
  if (recognise_request(payload, ends, msg)) outcome = trace_outcome::request;
  else if (match_transfer(payload, ends, msg)) outcome = trace_outcome::handled;
  else outcome = trace_outcome::unmatched;
  if (verbose) trace_exchange(outcome, ends, msg, payload);
}

std::uint16_t udp6_checksum(const ip6_origin &origin, bytes_t datagram) {
  // The pseudo-header: both addresses, the upper-layer length as 32 bits
  // and the next header (17) after three zero bytes, words taken first byte
  // low-order as ip_checksum takes them.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < origin.src.size(); i += 2) {
    sum += static_cast<std::uint32_t>(origin.src[i] | origin.src[i + 1] << 8);
    sum += static_cast<std::uint32_t>(origin.pseudo_dst[i] | origin.pseudo_dst[i + 1] << 8);
  }
  const auto length = static_cast<std::uint32_t>(datagram.size());
  sum += __builtin_bswap16(static_cast<std::uint16_t>(length >> 16)) + __builtin_bswap16(static_cast<std::uint16_t>(length));
  sum += 17u << 8;
  return ip_checksum(datagram, sum);
}

// What sets the families apart: where the addresses and the id that
// warnings show come from, the pseudo-header, and whether a zero checksum
// means none was sent (IPv4) or is wrong (IPv6, which makes it mandatory).
struct over_ipv4 {
  bytes_t ip_header;
  static constexpr bool ZERO_CHECKSUM_IS_NONE = true;

  unsigned id() const { return load_be16(ip_header, IP_ID); }
  void addresses(datagram_ends &ends) const {
    ends.src = ip_address::from_stored_v4(load_raw32(ip_header, IP_SRC));
    ends.dst = ip_address::from_stored_v4(load_raw32(ip_header, IP_DST));
  }
  std::uint16_t residual(bytes_t datagram) const { return udp_checksum(ip_header, datagram); }
};

struct over_ipv6 {
  const ip6_origin &origin;
  static constexpr bool ZERO_CHECKSUM_IS_NONE = false;

  unsigned id() const { return origin.id; }
  void addresses(datagram_ends &ends) const {
    try {
      ends.src = ip_address::from_v6(origin.src.data());
      ends.dst = ip_address::from_v6(origin.dst.data());
    } catch (const std::bad_alloc &) {
      log_error(2, "failed to allocate an ipv6 address");
    }
  }
  std::uint16_t residual(bytes_t datagram) const { return udp6_checksum(origin, datagram); }
};

template <class Family>
void decode_udp_over(bytes_t datagram, const Family &family) {
  const auto length = static_cast<std::uint32_t>(datagram.size());
  const unsigned id = family.id();
  if (length < UDP_HEADER_LEN) {
    log_warning("udp header is not valid; %d bytes, but should be at least %d; id=%u", length, UDP_HEADER_LEN, id);
    return;
  }
  wire_cursor header(datagram);
  datagram_ends ends;
  ends.sport = header.be16();
  ends.dport = header.be16();
  const std::uint32_t stated = header.be16();
  const std::uint16_t checksum = header.be16();
  if (stated != length) {
    log_warning("invalid udp header; specified length: %d, doesn't match expected: %d; id=%u",
                static_cast<int>(stated) - 8, static_cast<int>(length) - 8, id);
    return;
  }
  family.addresses(ends);
  if (!(Family::ZERO_CHECKSUM_IS_NONE && checksum == 0)) {
    const std::uint16_t residual = family.residual(datagram);
    if (checksum == 0 || residual != 0) {
      if (check_checksums) {
        log_warning("invalid udp checksum; checksum=%x; src=%s:%d, dst=%s:%d, id=%u", residual,
                    to_text(ends.src).text, ends.sport, to_text(ends.dst).text, ends.dport, id);
        return;
      }
      log_debug(3, "allowing invalid udp checksum; checksum=%x", residual);
    }
  }
  offer_payload(header.rest(), ends);
}

}  // namespace

void decode_udp(bytes_t datagram, bytes_t ip_header) { decode_udp_over(datagram, over_ipv4{ip_header}); }

void decode_udp6(bytes_t datagram, const ip6_origin &origin) { decode_udp_over(datagram, over_ipv6{origin}); }
