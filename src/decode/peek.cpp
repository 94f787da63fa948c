#include "decode/peek.h"

#include <pcap/dlt.h>

#include "decode/ipv4.h"
#include "decode/link.h"

namespace {

constexpr std::uint16_t ETHERTYPE_IPV4 = 0x0800;

// Where the IPv4 packet starts in a frame of the link types that carry
// nearly every capture; -1 for the others, or a frame of another protocol.
long ip_offset(int link_type, bytes_t frame) {
  switch (link_type) {
    case DLT_EN10MB:
      return load_be16(frame, 12) == ETHERTYPE_IPV4 ? 14 : -1;
    case DLT_LINUX_SLL:
      return load_be16(frame, 14) == ETHERTYPE_IPV4 ? 16 : -1;
    case LINK_TYPE_LINUX_SLL2:
      return load_be16(frame, 0) == ETHERTYPE_IPV4 ? 20 : -1;
    case DLT_RAW:
      return 0;
    default:
      return -1;
  }
}

}  // namespace

bool peek_datagram_ends(int link_type, bytes_t frame, datagram_ends &ends) {
  const long at = ip_offset(link_type, frame);
  if (at < 0 || static_cast<std::size_t>(at) + IP_HEADER_MIN > frame.size()) return false;
  const bytes_t ip = frame.subspan(static_cast<std::size_t>(at));
  const std::uint32_t header = ip_header_length(ip);
  // IPv4, UDP, not a fragment, the UDP header and the opcode captured.
  if ((load_u8(ip, 0) >> 4) != 4 || header < IP_HEADER_MIN || load_u8(ip, 9) != 17 ||
      (load_be16(ip, 6) & 0x3fff) != 0 || ip.size() < header + 10)
    return false;
  const bytes_t udp = ip.subspan(header);
  const std::uint8_t op = load_u8(udp, 9);
  if (load_u8(udp, 8) != 0 || op < 3 || op > 6) return false;
  ends = {load_be32(ip, IP_SRC), load_be32(ip, IP_DST), load_be16(udp, 0), load_be16(udp, 2)};
  return true;
}
