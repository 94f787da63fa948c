// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

struct tftp_request_t;

// Only the transfer table (transfer_table.cpp) uses this wheel.
//
// Every record waits in the slot of the second at which it may be due to
// end. A datagram only stamps its record's `last_seen_s`: the record stays
// in its slot, and when the slot comes round the table asks whether it is
// due by then or moves it to the slot its last datagram sets. No datagram
// ever walks or relinks records, so its cost does not grow with the number
// of transfers; a record is looked at about once per horizon.
//
// The wheel covers more seconds than the longest horizon, so a slot only
// ever holds records due in this round or already due.
inline constexpr std::uint32_t EXPIRY_WHEEL_SLOTS = 1024;

// Puts the record in the slot of `due_s` (or of the next second to sweep,
// if that has gone by), taking it out of any slot it was in.
void wheel_schedule(tftp_request_t &record, std::uint32_t due_s);

// Takes the record out of its slot, if it is in one.
void wheel_unlink(tftp_request_t &record);

// Hands every record of the slots up to `now_s` to `visit`, which must
// either free it or schedule it again (wheel_schedule, at a second past
// `now_s`); the slot is emptied before its records are handed out.
void wheel_sweep(std::uint32_t now_s, void (*visit)(tftp_request_t &));

// Empties the wheel, at the end of the run.
void wheel_clear();
