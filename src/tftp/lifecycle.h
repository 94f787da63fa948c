// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "base/bytes.h"
#include "tftp/transfer.h"

// A transfer's life: its output's name, what only an answered request
// needs, and letting go of what it owns. The acknowledgement rules that make
// its blocks count are in acknowledge.h; how transfers end when the capture
// does not end them, in endings.h.

void build_output_name(tftp_request_t &request);
// The transfer's first datagram came (awaits_name is still true): sets up
// what only an answered request needs, the output's name and the report's
// hash of its content.
void set_up_output(tftp_request_t &request);
// The record's extras, made on first use.
block_extras_t &extras_of(tftp_request_t &request);

// Writes out what counted, tells the report and lets go of the output.
void release_request(tftp_request_t &request);
