// SPDX-License-Identifier: BSD-2-Clause
#include "capture_builder.h"

#include <arpa/inet.h>

#include <cctype>
#include <fstream>
#include <stdexcept>

namespace capture_builder {

bytes operator+(bytes a, const bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bytes &operator+=(bytes &a, const bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bytes text(std::string_view s) { return bytes(s.begin(), s.end()); }

bytes cstr(std::string_view s) {
  bytes b = text(s);
  b.push_back(0);
  return b;
}

bytes be16(std::uint16_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }

bytes be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

bytes le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

bytes fill(std::size_t n, std::uint8_t byte) { return bytes(n, byte); }

bytes pattern(std::size_t n, std::uint8_t seed) {
  bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return b;
}

bytes slice(const bytes &b, std::size_t from, std::size_t n) {
  if (from > b.size()) return {};
  const std::size_t end = n < b.size() - from ? from + n : b.size();
  return bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(end));
}

bytes hex(std::string_view digits) {
  bytes b;
  int high = -1;
  for (char c : digits) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("bad hex digit");
    const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (high < 0) {
      high = v;
    } else {
      b.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits");
  return b;
}

std::uint32_t ipv4_addr(const std::string &dotted_text) {
  in_addr a{};
  if (inet_pton(AF_INET, dotted_text.c_str(), &a) != 1) throw std::invalid_argument("bad address " + dotted_text);
  return ntohl(a.s_addr);
}

std::string dotted(std::uint32_t host_order) {
  in_addr a{};
  a.s_addr = htonl(host_order);
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

bytes ipv6_addr(const std::string &address) {
  in6_addr a{};
  if (inet_pton(AF_INET6, address.c_str(), &a) != 1) throw std::invalid_argument("bad address " + address);
  return bytes(a.s6_addr, a.s6_addr + 16);
}

// Sums in network order (first byte high), the way the protocols define it.
std::uint16_t internet_checksum(const bytes &data, std::uint32_t initial) {
  std::uint64_t sum = initial;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (data.size() % 2 != 0) sum += static_cast<std::uint32_t>(data.back() << 8);
  while (sum > 0xffff) sum = (sum >> 16) + (sum & 0xffff);
  return static_cast<std::uint16_t>(~sum);
}

namespace tftp {

namespace {

bytes request(std::uint16_t op, std::string_view file, std::string_view mode, const option_list &options) {
  bytes b = be16(op) + cstr(file) + cstr(mode);
  for (const auto &[name, value] : options) b += cstr(name) + cstr(value);
  return b;
}

}  // namespace

bytes rrq(std::string_view file, std::string_view mode, const option_list &options) {
  return request(1, file, mode, options);
}

bytes wrq(std::string_view file, std::string_view mode, const option_list &options) {
  return request(2, file, mode, options);
}

bytes data(std::uint16_t block, const bytes &content) { return be16(3) + be16(block) + content; }

bytes ack(std::uint16_t block) { return be16(4) + be16(block); }

bytes error(std::uint16_t code, std::string_view message) { return be16(5) + be16(code) + cstr(message); }

bytes oack(const option_list &options) {
  bytes b = be16(6);
  for (const auto &[name, value] : options) b += cstr(name) + cstr(value);
  return b;
}

}  // namespace tftp

udp_datagram udp(std::uint16_t sport, std::uint16_t dport, const bytes &payload) {
  udp_datagram d;
  d.sport = sport;
  d.dport = dport;
  d.payload = payload;
  return d;
}

namespace {

// The datagram with its checksum field filled as `d` asks, summed over
// `pseudo` (the pseudo-header).
bytes with_checksum(const udp_datagram &d, std::uint16_t length, const bytes &pseudo) {
  bytes b = be16(d.sport) + be16(d.dport) + be16(length) + be16(0) + d.payload;
  std::uint16_t sum = 0;
  switch (d.checksum) {
    case udp_sum::zero:
      break;
    case udp_sum::chosen:
      sum = d.checksum_value;
      break;
    case udp_sum::correct:
    case udp_sum::wrong: {
      std::uint32_t initial = 0;
      for (std::size_t i = 0; i < pseudo.size(); i += 2) initial += static_cast<std::uint32_t>(pseudo[i] << 8 | pseudo[i + 1]);
      sum = internet_checksum(b, initial);
      // A computed 0 goes on the wire as all ones; 0 means "none".
      if (sum == 0) sum = 0xffff;
      if (d.checksum == udp_sum::wrong) sum = static_cast<std::uint16_t>(sum + 1);
      break;
    }
  }
  b[6] = static_cast<std::uint8_t>(sum >> 8);
  b[7] = static_cast<std::uint8_t>(sum);
  return b;
}

}  // namespace

bytes udp_datagram::build6(const std::string &src, const std::string &dst) const {
  const std::uint16_t length = length_field.value_or(static_cast<std::uint16_t>(8 + payload.size()));
  // The upper-layer length is the datagram's, whatever its length field says.
  const bytes pseudo = ipv6_addr(src) + ipv6_addr(pseudo_dst.value_or(dst)) +
                       be32(static_cast<std::uint32_t>(8 + payload.size())) + be32(17);
  return with_checksum(*this, length, pseudo);
}

bytes udp_datagram::build(const std::string &src, const std::string &dst) const {
  const std::uint16_t length = length_field.value_or(static_cast<std::uint16_t>(8 + payload.size()));
  bytes b = be16(sport) + be16(dport) + be16(length) + be16(0) + payload;
  std::uint16_t sum = 0;
  switch (checksum) {
    case udp_sum::zero:
      break;
    case udp_sum::chosen:
      sum = checksum_value;
      break;
    case udp_sum::correct:
    case udp_sum::wrong: {
      const bytes pseudo = be32(ipv4_addr(src)) + be32(ipv4_addr(pseudo_dst.value_or(dst))) + be16(17) + be16(length);
      std::uint32_t initial = 0;
      for (std::size_t i = 0; i < pseudo.size(); i += 2) initial += static_cast<std::uint32_t>(pseudo[i] << 8 | pseudo[i + 1]);
      sum = internet_checksum(b, initial);
      // A computed 0 goes on the wire as all ones; 0 means "none".
      if (sum == 0) sum = 0xffff;
      if (checksum == udp_sum::wrong) sum = static_cast<std::uint16_t>(sum + 1);
      break;
    }
  }
  b[6] = static_cast<std::uint8_t>(sum >> 8);
  b[7] = static_cast<std::uint8_t>(sum);
  return b;
}

bytes ipv4_packet::build() const {
  bytes opts = options;
  while (opts.size() % 4 != 0) opts.push_back(0);
  const std::size_t header_len = 20 + opts.size();
  const std::uint8_t nibble = ihl.value_or(static_cast<std::uint8_t>(header_len / 4));
  const std::uint16_t total = total_length.value_or(static_cast<std::uint16_t>(header_len + payload.size()));
  const std::uint16_t frag = static_cast<std::uint16_t>((dont_fragment ? 0x4000 : 0) | (more_fragments ? 0x2000 : 0) |
                                                        (frag_offset & 0x1fff));
  bytes h = bytes{static_cast<std::uint8_t>(version << 4 | (nibble & 0x0f)), 0} + be16(total) + be16(id) + be16(frag) +
            bytes{ttl, protocol, 0, 0} + be32(ipv4_addr(src)) + be32(ipv4_addr(dst)) + opts;
  std::uint16_t sum = 0;
  switch (checksum) {
    case ip_sum::zero:
      break;
    case ip_sum::chosen:
      sum = checksum_value;
      break;
    case ip_sum::correct:
    case ip_sum::wrong:
      sum = internet_checksum(h);
      if (checksum == ip_sum::wrong) sum = static_cast<std::uint16_t>(sum + 1);
      break;
  }
  h[10] = static_cast<std::uint8_t>(sum >> 8);
  h[11] = static_cast<std::uint8_t>(sum);
  return h + payload;
}

bytes ipv6_packet::build() const {
  const std::uint16_t length = payload_length.value_or(static_cast<std::uint16_t>(payload.size()));
  return bytes{static_cast<std::uint8_t>(version << 4), 0, 0, 0} + be16(length) + bytes{next_header, hop_limit} +
         ipv6_addr(src) + ipv6_addr(dst) + payload;
}

ipv6_packet ipv6(const std::string &src, const std::string &dst, const bytes &payload, std::uint8_t next_header) {
  ipv6_packet p;
  p.src = src;
  p.dst = dst;
  p.payload = payload;
  p.next_header = next_header;
  return p;
}

bytes udp6_packet(const std::string &src, std::uint16_t sport, const std::string &dst, std::uint16_t dport,
                  const bytes &payload) {
  return ipv6(src, dst, udp(sport, dport, payload).build6(src, dst)).build();
}

namespace {

bytes options_header(std::uint8_t next, std::size_t length) {
  if (length < 8 || length % 8 != 0 || length > 256) throw std::invalid_argument("bad options header length");
  // One PadN option fills the header.
  return bytes{next, static_cast<std::uint8_t>(length / 8 - 1), 1, static_cast<std::uint8_t>(length - 4)} +
         fill(length - 4, 0);
}

}  // namespace

bytes hop_by_hop(std::uint8_t next, std::size_t length) { return options_header(next, length); }

bytes destination_options(std::uint8_t next, std::size_t length) { return options_header(next, length); }

bytes routing_header(std::uint8_t next, std::uint8_t type, std::uint8_t segments_left,
                     const std::vector<std::string> &addresses) {
  const auto n = static_cast<std::uint8_t>(addresses.size());
  bytes b{next, static_cast<std::uint8_t>(2 * n), type, segments_left};
  // Segment routing: the index of the last entry, flags and a tag; the
  // others: reserved.
  b += type == 4 ? bytes{static_cast<std::uint8_t>(n - 1), 0, 0, 0} : fill(4, 0);
  for (const auto &a : addresses) b += ipv6_addr(a);
  return b;
}

bytes fragment_header(std::uint8_t next, std::uint16_t offset_units, bool more, std::uint32_t id) {
  return bytes{next, 0} + be16(static_cast<std::uint16_t>(offset_units << 3 | (more ? 1 : 0))) + be32(id);
}

bytes ipv6_fragment(const ipv6_fragment_plan &plan, std::size_t offset, std::size_t n, bool more) {
  const bytes payload = plan.unfragmentable +
                        fragment_header(plan.next, static_cast<std::uint16_t>(offset / 8), more, plan.id) +
                        slice(plan.fragmentable, offset, n);
  return ipv6(plan.src, plan.dst, payload, plan.first_header).build();
}

std::vector<bytes> ipv6_fragments(const ipv6_fragment_plan &plan) {
  if (plan.piece == 0 || plan.piece % 8 != 0) throw std::invalid_argument("pieces are a multiple of 8 bytes");
  std::vector<bytes> out;
  for (std::size_t offset = 0; offset < plan.fragmentable.size(); offset += plan.piece)
    out.push_back(ipv6_fragment(plan, offset, plan.piece, offset + plan.piece < plan.fragmentable.size()));
  return out;
}

ipv4_packet ipv4(const std::string &src, const std::string &dst, const bytes &payload) {
  ipv4_packet p;
  p.src = src;
  p.dst = dst;
  p.payload = payload;
  return p;
}

ipv4_packet ipv4(const std::string &src, const std::string &dst, const udp_datagram &datagram) {
  return ipv4(src, dst, datagram.build(src, dst));
}

bytes udp_packet(const std::string &src, std::uint16_t sport, const std::string &dst, std::uint16_t dport,
                 const bytes &payload, std::uint16_t id) {
  ipv4_packet p;
  p.src = src;
  p.dst = dst;
  p.id = id;
  p.payload = udp(sport, dport, payload).build(src, dst);
  return p.build();
}

namespace {

bytes route_option(std::uint8_t type, const std::vector<std::string> &route, std::uint8_t pointer) {
  bytes b{type, static_cast<std::uint8_t>(3 + 4 * route.size()), pointer};
  for (const auto &a : route) b += be32(ipv4_addr(a));
  return b;
}

}  // namespace

bytes loose_source_route(const std::vector<std::string> &route, std::uint8_t pointer) {
  return route_option(131, route, pointer);
}

bytes strict_source_route(const std::vector<std::string> &route, std::uint8_t pointer) {
  return route_option(137, route, pointer);
}

bytes record_route(std::size_t slots, std::uint8_t pointer) {
  return bytes{7, static_cast<std::uint8_t>(3 + 4 * slots), pointer} + fill(4 * slots, 0);
}

namespace {

const bytes kDstMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const bytes kSrcMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

}  // namespace

bytes ethernet(const bytes &packet, std::uint16_t type) { return kDstMac + kSrcMac + be16(type) + packet; }

bytes ethernet_snap(const bytes &packet, std::uint16_t bytes_12_13, std::uint16_t type) {
  return kDstMac + kSrcMac + be16(bytes_12_13) + bytes{0xaa, 0xaa, 0x03, 0x00, 0x00, 0x00} + be16(type) + packet;
}

bytes linux_sll(const bytes &packet, std::uint16_t protocol) {
  // packet type (to us), ARPHRD_ETHER, address length 6, address, protocol
  return be16(0) + be16(1) + be16(6) + kSrcMac + fill(2, 0) + be16(protocol) + packet;
}

bytes linux_sll2(const bytes &packet, std::uint16_t protocol) {
  // protocol, reserved, interface index, ARPHRD_ETHER, packet type, address
  // length, address
  return be16(protocol) + be16(0) + be32(2) + be16(1) + bytes{0, 6} + kSrcMac + fill(2, 0) + packet;
}

bytes ppp(const bytes &packet, std::uint16_t protocol) { return bytes{0xff, 0x03} + be16(protocol) + packet; }

bytes null_link(const bytes &packet, std::uint32_t family, byte_order order) {
  return (order == byte_order::little ? le32(family) : be32(family)) + packet;
}

bytes vlan_tags(const std::vector<std::uint16_t> &tpids) {
  bytes b;
  std::uint16_t vlan = 100;
  for (const std::uint16_t tpid : tpids) b += be16(tpid) + be16(vlan++);
  return b;
}

bytes ethernet_tagged(const bytes &packet, const std::vector<std::uint16_t> &tpids, std::uint16_t type) {
  return kDstMac + kSrcMac + vlan_tags(tpids) + be16(type) + packet;
}

bytes linux_sll_tagged(const bytes &packet, const std::vector<std::uint16_t> &tpids, std::uint16_t protocol) {
  return be16(0) + be16(1) + be16(6) + kSrcMac + fill(2, 0) + vlan_tags(tpids) + be16(protocol) + packet;
}

capture::capture(std::uint32_t link_type, std::uint32_t snaplen, byte_order file_order)
    : link_type_(link_type), snaplen_(snaplen), order_(file_order) {}

capture &capture::frame(const bytes &stored) {
  return frame(stored, static_cast<std::uint32_t>(stored.size()));
}

capture &capture::frame(const bytes &stored, std::uint32_t wire_len) {
  records_.push_back({stored, wire_len, pending_pause_us_});
  pending_pause_us_ = 0;
  return *this;
}

bytes capture::wrap(const bytes &ip) const {
  switch (link_type_) {
    case link::ethernet:
      return ethernet(ip);
    case link::ieee802:
      return ethernet_snap(ip);
    case link::linux_sll:
      return linux_sll(ip);
    case link::linux_sll2:
      return linux_sll2(ip);
    case link::ppp:
      return ppp(ip);
    case link::null:
      return null_link(ip, 2, order_);
    default:
      return ip;
  }
}

bytes capture::wrap6(const bytes &ip6) const {
  switch (link_type_) {
    case link::ethernet:
      return ethernet(ip6, 0x86dd);
    case link::ieee802:
      return ethernet_snap(ip6, 0x005a, 0x86dd);
    case link::linux_sll:
      return linux_sll(ip6, 0x86dd);
    case link::linux_sll2:
      return linux_sll2(ip6, 0x86dd);
    case link::ppp:
      return ppp(ip6, 0x0057);
    case link::null:
      return null_link(ip6, 24, order_);
    default:
      return ip6;
  }
}

capture &capture::packet(const bytes &ip) { return frame(wrap(ip)); }

capture &capture::packet6(const bytes &ip6) { return frame(wrap6(ip6)); }

capture &capture::udp6(const endpoint &from, const endpoint &to, const bytes &payload) {
  return packet6(udp6_packet(from.addr, from.port, to.addr, to.port, payload));
}

capture &capture::udp(const endpoint &from, const endpoint &to, const bytes &payload) {
  return packet(udp_packet(from.addr, from.port, to.addr, to.port, payload, next_id_++));
}

capture &capture::pause(std::uint64_t us) {
  pending_pause_us_ += us;
  return *this;
}

bytes capture::file() const {
  auto u32 = [this](std::uint32_t v) { return order_ == byte_order::little ? le32(v) : be32(v); };
  auto u16 = [this](std::uint16_t v) {
    return order_ == byte_order::little ? bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}
                                        : be16(v);
  };
  bytes f = u32(0xa1b2c3d4) + u16(2) + u16(4) + u32(0) + u32(0) + u32(snaplen_) + u32(link_type_);
  std::uint64_t usec = 0;
  for (const auto &r : records_) {
    usec += r.pause_us;
    const auto sec = static_cast<std::uint32_t>(1700000000 + usec / 1000000);
    f += u32(sec) + u32(static_cast<std::uint32_t>(usec % 1000000)) + u32(static_cast<std::uint32_t>(r.stored.size())) +
         u32(r.wire_len) + r.stored;
    usec += frame_gap_us;
  }
  return f;
}

bytes capture::file_pcapng() const {
  auto u16 = [](std::uint16_t v) { return bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; };
  auto block = [](std::uint32_t type, const bytes &body) {
    bytes padded_body = body;
    while (padded_body.size() % 4 != 0) padded_body.push_back(0);
    const auto total = static_cast<std::uint32_t>(12 + padded_body.size());
    return le32(type) + le32(total) + padded_body + le32(total);
  };
  bytes f = block(0x0A0D0D0A, le32(0x1A2B3C4D) + u16(1) + u16(0) + fill(8, 0xff));
  f += block(1, u16(static_cast<std::uint16_t>(link_type_)) + u16(0) + le32(snaplen_));
  std::uint64_t usec = 1700000000ull * 1000000;
  for (const auto &r : records_) {
    usec += r.pause_us;
    f += block(6, le32(0) + le32(static_cast<std::uint32_t>(usec >> 32)) + le32(static_cast<std::uint32_t>(usec)) +
                      le32(static_cast<std::uint32_t>(r.stored.size())) + le32(r.wire_len) + r.stored);
    usec += frame_gap_us;
  }
  return f;
}

bytes capture::file_cut(std::size_t cut) const {
  bytes f = file();
  f.resize(cut < f.size() ? f.size() - cut : 0);
  return f;
}

void write_file(const std::string &path, const bytes &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace capture_builder
