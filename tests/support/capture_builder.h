// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Builds capture files byte by byte, so that a test reads as the packets it
// sends:
//
//   capture cap;                                   // Ethernet, classic pcap
//   const endpoint client{"10.0.0.1", 1025}, server{"10.0.0.2", 69};
//   const endpoint server_tid{"10.0.0.2", 3000};
//   cap.udp(client, server, tftp::rrq("f"));
//   cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
//   cap.udp(client, server_tid, tftp::ack(1));
//   cap.udp(server_tid, client, tftp::data(2, text("end")));
//   cap.udp(client, server_tid, tftp::ack(2));
//   write_file("in.pcap", cap.file());
//
// Every layer can also be built on its own and bent out of shape: an IPv4
// packet with a wrong checksum, options or fragment fields (`ipv4_packet`), a
// UDP datagram with a wrong, zero or chosen checksum or length field
// (`udp_datagram`), a frame of any link type with any caplen and len
// (`capture::frame`), and a file cut off in the middle of its last record
// (`capture::file_cut`).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace capture_builder {

using bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Byte helpers. `bytes` is a std::vector, so its + is not found by argument
// lookup: bring it in with `using namespace capture_builder;` or
// `using capture_builder::operator+;`.

bytes operator+(bytes a, const bytes &b);
bytes &operator+=(bytes &a, const bytes &b);

bytes text(std::string_view s);   // the characters, no NUL
bytes cstr(std::string_view s);   // the characters and a NUL
bytes be16(std::uint16_t v);
bytes be32(std::uint32_t v);
bytes le32(std::uint32_t v);
bytes fill(std::size_t n, std::uint8_t byte);
// n bytes of a repeating, position-dependent pattern (so that misplaced
// pieces show), starting at `seed`.
bytes pattern(std::size_t n, std::uint8_t seed = 0);
bytes slice(const bytes &b, std::size_t from, std::size_t n);
bytes hex(std::string_view digits);  // "45 00 00 1c ..." (spaces ignored)

// An IPv4 address in dotted form as a host-order number, and back.
std::uint32_t ipv4_addr(const std::string &dotted);
std::string dotted(std::uint32_t host_order);
// An IPv6 address in any text form as its 16 stored bytes.
bytes ipv6_addr(const std::string &text);

// The Internet checksum of `data` in network order, ready to be stored.
std::uint16_t internet_checksum(const bytes &data, std::uint32_t initial = 0);

// ---------------------------------------------------------------------------
// TFTP messages.

namespace tftp {

using option_list = std::vector<std::pair<std::string, std::string>>;

bytes rrq(std::string_view file, std::string_view mode = "octet", const option_list &options = {});
bytes wrq(std::string_view file, std::string_view mode = "octet", const option_list &options = {});
bytes data(std::uint16_t block, const bytes &content);
bytes ack(std::uint16_t block);
bytes error(std::uint16_t code, std::string_view message);  // NUL-terminated
bytes oack(const option_list &options);

}  // namespace tftp

// ---------------------------------------------------------------------------
// UDP.

enum class udp_sum {
  correct,  // computed over the pseudo-header
  zero,     // 0: the sender computed none
  wrong,    // the correct value plus one, in network order
  chosen,   // `checksum_value`, stored as given (network order)
};

struct udp_datagram {
  std::uint16_t sport = 0;
  std::uint16_t dport = 0;
  bytes payload;
  std::optional<std::uint16_t> length_field;  // default: 8 + payload size
  udp_sum checksum = udp_sum::correct;
  std::uint16_t checksum_value = 0;
  // The destination address of the pseudo-header; default: the IPv4 (or
  // IPv6) destination. A source-routed datagram is summed with the route's
  // end.
  std::optional<std::string> pseudo_dst;

  // Header and payload, summed for the given IPv4 source and destination.
  bytes build(const std::string &src, const std::string &dst) const;
  // The same over the IPv6 pseudo-header.
  bytes build6(const std::string &src, const std::string &dst) const;
};

// A datagram with a correct checksum and length field; change fields after.
udp_datagram udp(std::uint16_t sport, std::uint16_t dport, const bytes &payload);

// ---------------------------------------------------------------------------
// IPv4.

enum class ip_sum { correct, zero, wrong, chosen };

struct ipv4_packet {
  std::string src = "10.0.0.1";
  std::string dst = "10.0.0.2";
  std::uint16_t id = 1;
  std::uint8_t ttl = 64;
  std::uint8_t protocol = 17;
  std::uint8_t version = 4;
  bytes options;                          // padded with zeros to a multiple of 4
  std::optional<std::uint8_t> ihl;        // header-length nibble, default from options
  std::optional<std::uint16_t> total_length;  // default: header + payload
  std::uint16_t frag_offset = 0;          // in 8-byte units
  bool more_fragments = false;
  bool dont_fragment = false;
  ip_sum checksum = ip_sum::correct;
  std::uint16_t checksum_value = 0;       // for ip_sum::chosen, network order
  bytes payload;                          // everything after the header

  bytes build() const;
};

// An IPv4 header for `payload` with a correct checksum; change fields after:
//   auto p = ipv4("10.0.0.1", "10.0.0.2", udp(1025, 69, tftp::rrq("f")));
//   p.checksum = ip_sum::wrong;
//   cap.packet(p.build());
ipv4_packet ipv4(const std::string &src, const std::string &dst, const bytes &payload);
ipv4_packet ipv4(const std::string &src, const std::string &dst, const udp_datagram &datagram);

// The usual case: a whole IPv4 packet carrying one UDP datagram.
bytes udp_packet(const std::string &src, std::uint16_t sport, const std::string &dst,
                 std::uint16_t dport, const bytes &payload, std::uint16_t id = 1);

// IPv4 option bytes.
bytes loose_source_route(const std::vector<std::string> &route, std::uint8_t pointer = 4);
bytes strict_source_route(const std::vector<std::string> &route, std::uint8_t pointer = 4);
bytes record_route(std::size_t slots, std::uint8_t pointer = 4);

// ---------------------------------------------------------------------------
// IPv6.

struct ipv6_packet {
  std::string src = "fd00::1";
  std::string dst = "fd00::2";
  std::uint8_t next_header = 17;  // the first header after the fixed one
  std::uint8_t hop_limit = 64;
  std::uint8_t version = 6;
  std::optional<std::uint16_t> payload_length;  // default: the payload's size
  bytes payload;  // extension headers and the upper layer

  bytes build() const;
};

// A fixed header in front of `payload`; change fields after.
ipv6_packet ipv6(const std::string &src, const std::string &dst, const bytes &payload, std::uint8_t next_header = 17);

// The usual case: a whole IPv6 packet carrying one UDP datagram.
bytes udp6_packet(const std::string &src, std::uint16_t sport, const std::string &dst, std::uint16_t dport,
                  const bytes &payload);

// Extension headers, each naming the header that follows it. Options
// headers are filled with padding to `length` bytes (a multiple of 8).
bytes hop_by_hop(std::uint8_t next, std::size_t length = 8);
bytes destination_options(std::uint8_t next, std::size_t length = 8);
// Type 0 carries addresses, type 2 one, type 4 (segment routing) a segment
// list whose first entry is the final destination.
bytes routing_header(std::uint8_t next, std::uint8_t type, std::uint8_t segments_left,
                     const std::vector<std::string> &addresses);
bytes fragment_header(std::uint8_t next, std::uint16_t offset_units, bool more, std::uint32_t id);

// The IPv6 fragments of `fragmentable` (the headers after the fragment
// header and the upper layer, whose first header is `next`) in pieces of
// at most `piece` bytes (a multiple of 8), in order; `unfragmentable` goes
// in front of each fragment header, whose own type is then its last header's
// next header (set it to 44).
struct ipv6_fragment_plan {
  std::string src = "fd00::1";
  std::string dst = "fd00::2";
  std::uint32_t id = 0x12345678;
  std::uint8_t first_header = 44;  // the fixed header's next header
  bytes unfragmentable;
  std::uint8_t next = 17;
  bytes fragmentable;
  std::size_t piece = 0;
};
std::vector<bytes> ipv6_fragments(const ipv6_fragment_plan &plan);
// One fragment: `fragmentable`'s bytes [offset, offset + n).
bytes ipv6_fragment(const ipv6_fragment_plan &plan, std::size_t offset, std::size_t n, bool more);

enum class byte_order { big, little };

// ---------------------------------------------------------------------------
// Link-layer frames around a network-layer packet.

bytes ethernet(const bytes &packet, std::uint16_t type = 0x0800);
// The 22-byte form: a 14-byte MAC header whose bytes 12-13 hold `bytes_12_13`
// (an 802.3 length, or the tail of a token-ring source address), then an
// LLC/SNAP header with the type at bytes 20-21. libpcap's "udp" filter
// accepts this form for link type 6 only.
bytes ethernet_snap(const bytes &packet, std::uint16_t bytes_12_13 = 0x005a,
                    std::uint16_t type = 0x0800);
bytes linux_sll(const bytes &packet, std::uint16_t protocol = 0x0800);   // 16 bytes
bytes linux_sll2(const bytes &packet, std::uint16_t protocol = 0x0800);  // 20 bytes
bytes ppp(const bytes &packet, std::uint16_t protocol = 0x0021);
bytes null_link(const bytes &packet, std::uint32_t family = 2, byte_order order = byte_order::little);

// A stack of VLAN tags, outermost first: each TPID (0x8100, 0x88a8, 0x9100)
// with a tag control word of its own.
bytes vlan_tags(const std::vector<std::uint16_t> &tpids);
// Ethernet and Linux cooked v1 with the tags where the type was, the type
// after them.
bytes ethernet_tagged(const bytes &packet, const std::vector<std::uint16_t> &tpids, std::uint16_t type = 0x0800);
bytes linux_sll_tagged(const bytes &packet, const std::vector<std::uint16_t> &tpids,
                       std::uint16_t protocol = 0x0800);

// Link types as stored in the file header.
namespace link {
inline constexpr std::uint32_t null = 0;
inline constexpr std::uint32_t ethernet = 1;
inline constexpr std::uint32_t ieee802 = 6;
inline constexpr std::uint32_t ppp = 9;
inline constexpr std::uint32_t raw = 12;
inline constexpr std::uint32_t linux_sll = 113;
inline constexpr std::uint32_t linux_sll2 = 276;
}  // namespace link

struct endpoint {
  std::string addr;
  std::uint16_t port;
};

// ---------------------------------------------------------------------------
// A classic pcap file with microsecond timestamps, written in little-endian
// order unless asked for big-endian (libpcap then reads it byte-swapped, and
// compares a DLT_NULL family in the file's order).

class capture {
 public:
  explicit capture(std::uint32_t link_type = link::ethernet, std::uint32_t snaplen = 262144,
                   byte_order file_order = byte_order::little);

  // A frame stored whole: caplen = len = its size.
  capture &frame(const bytes &stored);
  // A frame with its stored bytes (caplen = their count) and a wire length
  // of its own, smaller or larger.
  capture &frame(const bytes &stored, std::uint32_t wire_len);

  // A network-layer packet wrapped in this capture's link framing: Ethernet
  // for 1, the 22-byte form for 6, the cooked headers, PPP with IPv4's
  // protocol, DLT_NULL with family 2 in the file's byte order, nothing for
  // raw.
  capture &packet(const bytes &ip);

  // A UDP datagram in an IPv4 packet with a fresh identification, wrapped.
  capture &udp(const endpoint &from, const endpoint &to, const bytes &payload);

  // An IPv6 packet in this capture's framing for IPv6: the IPv6 type or
  // protocol, DLT_NULL with family 24 in the file's byte order.
  capture &packet6(const bytes &ip6);
  capture &udp6(const endpoint &from, const endpoint &to, const bytes &payload);

  std::uint32_t link_type() const { return link_type_; }

  // Capture time between one frame and the next (the first is at
  // 1700000000 s).
  std::uint32_t frame_gap_us = 1000;
  std::size_t records() const { return records_.size(); }
  // Silence on the wire: the next frame comes `us` later than the gap says.
  capture &pause(std::uint64_t us);

  // The whole file.
  bytes file() const;
  // The same records as a pcapng file: one section, one interface, one
  // enhanced packet block per record (written in little-endian order).
  bytes file_pcapng() const;
  // The file with its last `cut` bytes missing, so that the last record ends
  // early (or its header is incomplete).
  bytes file_cut(std::size_t cut) const;

  // The framing that `packet` and `packet6` apply.
  bytes wrap(const bytes &ip) const;
  bytes wrap6(const bytes &ip6) const;

 private:
  struct record {
    bytes stored;
    std::uint32_t wire_len;
    std::uint64_t pause_us = 0;  // before this record
  };
  std::uint64_t pending_pause_us_ = 0;
  std::uint32_t link_type_;
  std::uint32_t snaplen_;
  byte_order order_;
  std::uint16_t next_id_ = 0x100;
  std::vector<record> records_;
};

// Writes `content` to `path`; throws std::runtime_error on failure.
void write_file(const std::string &path, const bytes &content);

}  // namespace capture_builder
