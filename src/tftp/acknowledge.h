// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "tftp/transfer.h"

// The acknowledgement rules: an acknowledgement makes the blocks held up to
// it count at their places (lock-step: the one pending; windowed: those of
// the window, in order) and records the others as holes. Counting a block
// whose output fails abandons the transfer.

// Writes the pending block of a lock-step transfer.
void flush_request(tftp_request_t &request);
// Every block up to `block` is acknowledged: those held count, the others
// are holes. False when the transfer was abandoned.
bool acknowledge_up_to(tftp_request_t &request, std::uint32_t block);
// Counts the blocks that directly follow the counted ones: what a transfer
// cut off, or replaced by a new request, still proves.
void count_what_follows(tftp_request_t &request);
// The warning for a file with holes, once its transfer is over.
void report_holes(const tftp_request_t &request);
