// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"
#include "output/output_file.h"
#include "output/write_buffer_pool.h"

// A file's write buffer: an image of one stretch of the file, from `start`,
// in two parts. First the bytes that counted, waiting to go out in one large
// write instead of one system call a block; then, right after them, blocks
// that have not counted yet (staged), kept here instead of in memory of
// their own so that a block is copied once on its way to the file. Only the
// counted part is ever written: a staged block becomes part of it when it
// counts, and is dropped when it is forgotten or its file closes.
//
// Buffers come from a budget shared by every file. A file gets a buffer
// sized by the number of files in progress (the budget spread over them,
// between 2 and 16 KiB), so that thousands of files in progress each keep
// one. When the budget runs out, the buffers not written since a clock hand
// last passed are given up: their counted bytes written out and, where they
// hold staged blocks, cut down to just those. The buffers of files that
// ended wait, within the budget, for files that start (write_buffer_pool.h).

// Writes `bytes`, which counted, at `offset`: bytes that follow the counted
// ones join them, and the buffer goes out when it is full, when the next
// bytes are elsewhere (staged bytes before them are then dropped: blocks
// count in file order, so those never will), when the file is flushed or
// closed, and when the budget is short. False with errno set when a write
// this makes fails; a failure of a write made for another reason is kept in
// `created->write_error`.
bool output_append(output_file_t &file, std::uint64_t offset, bytes_t bytes);

// Stages the uncounted block `bytes` of the file's place [offset, offset +
// place_length), replacing any copy staged for that place; the file's
// content counted so far ends at `counted_end`. False
// when the block is not kept here: the staged blocks and it would not
// directly follow the counted content, it is longer than its place, or no
// buffer room is to be had. So the blocks held elsewhere all lie past the
// staged ones, and blocks count in file order: staged bytes before a block
// that counts never will.
bool output_stage(output_file_t &file, std::uint64_t counted_end, std::uint64_t offset, bytes_t bytes,
                  std::uint32_t place_length);

// The staged bytes at `offset`, up to `length`, count: they join the
// counted ones. Returns them (valid until the buffer is next used), or
// nothing when none are staged there. Staged bytes before `offset` are
// dropped.
bytes_t output_commit(output_file_t &file, std::uint64_t offset, std::uint32_t length);

// Forgets the staged blocks.
void output_unstage(output_file_t &file);

// Writes out the counted bytes; false with errno set on failure.
bool output_flush(output_file_t &file);

// The same for the file that counted bytes last: with live input, so that
// nothing counted waits for the next frame.
void output_flush_latest();
