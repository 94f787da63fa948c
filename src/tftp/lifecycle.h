// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "base/bytes.h"
#include "tftp/transfer.h"

// A transfer's life: its output's name, letting go of what it owns,
// forgetting idle transfers, and the end of the run. The acknowledgement
// rules that make its blocks count are in acknowledge.h.

void build_output_name(tftp_request_t &request);
// The transfer's first datagram came (awaits_name is still true): sets up
// what only an answered request needs, the output's name and the report's
// hash of its content.
void set_up_output(tftp_request_t &request);
// The record's extras, made on first use.
block_extras_t &extras_of(tftp_request_t &request);

void release_request(tftp_request_t &request);
void flush_all_requests();

// Ends the transfers silent for long by `now_us` (transfer_table.h), as the
// end of the run would end them, and forgets them.
void expire_transfers(std::int64_t now_us);

// A fatal exit: what every output counted is written out and the files are
// closed, with no report.
void close_all_outputs();
