#pragma once

#include <cstdint>
#include <string_view>

#include "decode/wire.h"

// The summary of one TFTP message, filled while the datagram is tracked and
// printed by the exchange trace. Texts point into the datagram (or at a
// constant empty text) and are not used after the datagram is done.
struct tftp_msg_t {
  std::uint16_t op;          // 3 DATA, 4 ACK, 5 ERROR, 6 OACK; 0 for a request
  std::uint16_t error_code;
  std::string_view error_msg;  // bounded by the datagram, NUL or not
  const char *blksize;       // null: the request did not carry the option
  const char *timeout;
  const char *tsize;
  std::uint32_t ack_block;
  std::uint32_t data_block;
  std::uint32_t datalen;
};

// `datagram` is the UDP header and payload as the IPv4 layer delimits them;
// `ip_header` is the datagram's IPv4 header, its options included when it has
// any (a reassembled datagram passes a 20-byte copy without them).
void decode_udp(bytes_t datagram, bytes_t ip_header);

std::uint16_t udp_checksum(bytes_t ip_header, bytes_t datagram);

// The destination address for the pseudo-header, as stored: the final hop of
// a source route when the header carries one.
std::uint32_t final_destination(bytes_t ip_header);
