// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "base/address.h"
#include "base/bytes.h"
#include "base/tftp_message.h"

enum class trace_outcome { request, handled, unmatched };

// The trace line of one datagram (and its dump with -X), printed after every
// other effect of the datagram, at the verbosity its outcome needs.
void trace_exchange(trace_outcome outcome, const datagram_ends &ends, const tftp_msg_t &msg, bytes_t payload);
