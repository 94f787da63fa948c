#pragma once

#include <cstdint>

#include "decode/udp.h"
#include "decode/wire.h"

// A read or write request as seen on the wire: texts point into the datagram.
// decode_udp fills in the endpoints; add_request copies what it keeps.
struct request_template_t {
  std::uint16_t op;  // 1 read, 2 write
  const char *filename;
  const char *mode;
  std::uint32_t src_addr;  // host order
  std::uint32_t dst_addr;
  std::uint16_t src_port;
  std::uint16_t dst_port;
};

enum class tftp_op : std::uint16_t { rrq = 1, wrq = 2, data = 3, ack = 4, error = 5, oack = 6 };

// Returns 1 when `payload` is a read or write request with one of the three
// modes, filling `request` and the option texts of `msg`; 0 otherwise. Reads
// only; copies nothing.
int parse_request(bytes_t payload, request_template_t &request, tftp_msg_t &msg);
