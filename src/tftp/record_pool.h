// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>

// Memory for transfer records, taken from blocks of many records instead of
// one allocation each. Any host can have the table hold tens of thousands of
// records at once, made and forgotten in turn; an allocation of its own for
// each, aligned to the cache line, costs the allocator's header and alignment
// slack on every record and leaves the heap in holes too small for the next
// one. Here a record costs its own size: a forgotten record's memory is the
// next record's. Only the transfer table (transfer_table.cpp) uses the pool.

// The bytes of one record, and the alignment every record has.
inline constexpr std::size_t POOL_RECORD_BYTES = 320;
inline constexpr std::size_t POOL_RECORD_ALIGN = 64;

// Memory for one record, or null when none can be had.
void *pool_take();

// Gives back memory from pool_take. Once no record is taken, all blocks but
// one go back to the system.
void pool_give(void *record);

// Records taken and not given back.
std::size_t pool_records_taken();
