// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <functional>

#include "base/address.h"
#include "tftp/transfer.h"

// The table of transfers. It owns every record from its creation to its
// end, newest first, and the indexes that find them; nothing else links or
// frees a record.
//
// Lookups answer with the newest record that fits, exactly as one walk of
// every record, newest first, would: the indexes (transfer_index.h) only
// spare the walk.

// A new, zeroed record, not yet in the table. Ends the process when none
// can be had.
tftp_request_t *table_allocate();

// Gives a record from table_allocate, its ends set, its place as the
// newest. The table owns it from then on.
void table_insert(tftp_request_t *record);

// Unlinks and frees a record.
void table_erase(tftp_request_t &record);

// The record that a request with these ends replaces: the newest of the
// same requester endpoint, server address and requested port. Never one for
// a request sent to the broadcast address.
tftp_request_t *table_find_replaced(const endpoint_t &requester, const endpoint_t &server);

// The newest record that a datagram with these ends fits: a broadcast
// record it answers (from which matching makes a clone), or a record it
// comes from the server or the requester of. Logs the "dtid wrong" line for
// each record it passes over for its port.
tftp_request_t *find_transfer(const datagram_ends &ends);

// The server's transfer port, once learnt, and the server's address, once a
// clone of a broadcast record takes it.
void table_set_dtid(tftp_request_t &record, std::uint16_t dtid);
void table_set_server(tftp_request_t &record, const ip_address &server);

// A long live run must not keep every transfer it ever saw, and any host
// can send requests that nobody answers. A transfer that has seen no
// datagram for IDLE_HORIZON_S of capture time (longer than any TFTP retry
// schedule), finished or not, ends as the end of the run would end it and
// is forgotten: a datagram that would have fitted it later fits nothing. A
// transfer not yet over whose last message is an ERROR ends the same way
// after ERROR_HORIZON_S of silence: peers that carry on after an ERROR do
// so at once.
inline constexpr std::uint32_t IDLE_HORIZON_S = 10 * 60;
inline constexpr std::uint32_t ERROR_HORIZON_S = 5;

// A datagram of the record came at `now_us`. Costs a store: the record is
// not moved (expiry_wheel.h).
inline void table_seen(tftp_request_t &record, std::int64_t now_us) {
  record.last_seen_s = static_cast<std::uint32_t>(now_us / 1000000);
}

// The transfer is over (its last block, its output failed, or an ERROR
// before any file): counted once for the status line.
void table_finished(tftp_request_t &record);

// The record's last message is an ERROR (true), or a later one came.
void table_after_error(tftp_request_t &record, bool after_error);

// Ends and frees the records silent for their horizon by `now_us`;
// `last_rites` sees each before it is freed. `now_us` is the latest capture
// time, or later when live input brings no frames; it may step back, which
// ends nothing.
void table_expire(std::int64_t now_us, void (*last_rites)(tftp_request_t &));

// Called when a record lets go of its texts: a broadcast record can no
// longer be cloned.
void table_released(tftp_request_t &record);

// Every record, newest first. `fn` must not add or erase records.
void for_each_transfer(const std::function<void(tftp_request_t &)> &fn);

// The end of the run: `last_rites` sees each record, newest first, before it
// is freed; the table is empty afterwards.
void free_all_transfers(const std::function<void(tftp_request_t &)> &last_rites);

// Records in the table.
std::size_t transfers_tracked();

// For the status line: records not finished, and records that finished so
// far (forgotten ones included).
std::size_t transfers_open();
std::uint64_t transfers_finished();

// The newest record, or null.
tftp_request_t *newest_transfer();
