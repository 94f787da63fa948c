// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "base/address.h"
#include "base/cursor.h"
#include "base/tftp_message.h"

// A read or write request as seen on the wire: texts point into the datagram.
// decode_udp's ends fill in the endpoints; add_request copies what it keeps.
struct request_template_t {
  tftp_op op = tftp_op::none;  // rrq or wrq
  const char *filename = nullptr;
  const char *mode = nullptr;
  endpoint_t requester;  // source address and port
  endpoint_t server;     // the address and port the request was sent to
  bytes_t options;       // the option pairs after the mode, as sent
};

// Returns 1 when `payload` is a read or write request with one of the three
// modes, filling `request` (but its endpoints) and the texts of `msg`; 0
// otherwise. Reads only; copies nothing.
int parse_request(bytes_t payload, request_template_t &request, tftp_msg_t &msg);
