// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"
#include "output/output_file.h"

// The memory of the write buffers (write_buffer.h): one budget for all,
// each file's fair share of it, buffers kept spare for files that start,
// and each buffer on a cache line. A clock ring over the files with a
// buffer finds the ones to give up when the budget runs short; what giving
// one up writes is the buffer's owner's to say.

// The budget, in bytes (tests make it small).
extern std::size_t write_buffer_budget;

// While the buffers hold more bytes than this in all, they are larger than
// the cache and blocks are copied into them without first reading their
// lines into it (tests make it 0 to take that way always).
extern std::size_t write_buffer_cold_above;

inline constexpr std::uint32_t MIN_BUFFER = 2u << 10;
inline constexpr std::uint32_t MAX_BUFFER = 16u << 10;

// The size a file's buffer should have now: the budget shared by the files
// in progress, a power of two within bounds.
std::uint32_t buffer_fair_size();

// A block into its buffer, streamed past the cache while the buffers in
// all are larger than the cache.
void copy_into_buffer(std::uint8_t *to, bytes_t bytes);

// A new buffer of `capacity` bytes for `file`, in the ring; false when
// memory is short.
bool attach_buffer(output_file_t &file, std::uint32_t capacity);

// The buffer moved to an allocation of `capacity` bytes, which holds what
// it holds; false (the buffer as it was) when memory is short.
bool resize_buffer(write_buffer_t &b, std::uint32_t capacity);

// Takes the buffer from the file: kept as a spare when the file ended and
// others are in progress.
void free_buffer(output_file_t &file, bool ended);

// Makes room in the budget for `more` bytes, sparing `spared`, by handing
// buffers not used since the hand last passed to `give_up`; false when a
// sweep found no buffer to give up.
bool make_buffer_room(std::size_t more, const output_file_t *spared, void (*give_up)(output_file_t &));
