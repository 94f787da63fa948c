// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "base/bytes.h"
#include "tftp/transfer.h"

// Making a transfer of a read or write request (parse_request.h reads it).

// Recognises a read or write request and makes a transfer of it. Returns 1
// when the payload was a request.
int recognise_request(bytes_t payload, const datagram_ends &ends, tftp_msg_t &msg);

tftp_request_t *add_request(const request_template_t &request);
