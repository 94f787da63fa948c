// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "base/bytes.h"
#include "tftp/transfer.h"

// Tying a datagram that is not a request to its transfer.

// Ties a message that is not a request to its transfer and applies it.
// Returns 1 when handled.
int match_transfer(bytes_t payload, const datagram_ends &ends, tftp_msg_t &msg);
