#pragma once

#include <cstdint>

#include "base/bytes.h"
#include "tftp/transfer.h"

// A transfer's life on the output's side: its name, the acknowledgement
// rules that make blocks count, letting go of what it owns, forgetting idle
// transfers, and the end of the run.

void build_output_name(tftp_request_t &request);
// Writes the pending block of a lock-step transfer.
void flush_request(tftp_request_t &request);
// Every block up to `block` is acknowledged: those held count, the others
// are holes. False when the transfer was abandoned.
bool acknowledge_up_to(tftp_request_t &request, std::uint32_t block);
// The warning for a file with holes, once its transfer is over.
void report_holes(const tftp_request_t &request);
// The record's extras, made on first use.
block_extras_t &extras_of(tftp_request_t &request);

// Counts the blocks that directly follow the counted ones: what a transfer
// cut off, or replaced by a new request, still proves.
void count_what_follows(tftp_request_t &request);
void release_request(tftp_request_t &request);
void flush_all_requests();

// Forgets the finished transfers idle for long (transfer_table.h), as the
// end of the run would end them.
void forget_idle_transfers();

// A fatal exit: what every output counted is written out and the files are
// closed, with no report.
void close_all_outputs();
