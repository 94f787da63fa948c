// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// output/: the carved files: block output, the write buffers and their
// budget, descriptors, output names, and the content hash with its thread.
// It never decides what a transfer means, and never prints the trace or
// writes the report (report/ does, and holds the run's status).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/bytes.h"
#include "output/content_hash.h"
#include "output/output_file.h"

// A block kept in memory until it counts.
struct held_block_t {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  std::uint32_t capacity = 0;
  std::unique_ptr<std::uint8_t[]> bytes;
};

// The output of one transfer: its file (or standard output with -c), its
// name, and the blocks that wait to count.
//
// Each block has its place in the file, given by its number, and a block
// counts once its transfer has proof that the receiver took it (an
// acknowledgement, the sender moving on, or the end of the transfer). Only
// counted blocks are ever written, each at its place: a block waits until
// it counts, staged in its file's write buffer right after the bytes that
// counted (write_buffer.h) or, where it cannot be (the block does not
// follow the staged ones, no buffer room, -c), in `held`; then it
// goes to the file through that buffer. A place that no counted block filled is a
// hole and reads as zeros; `counted_end` is where the content ends. Every
// way out of the run writes out what counted and closes the file: the end
// of its transfer, its replacement, the end of the run, a signal and a
// fatal exit. So no file ever holds a byte that did not count, nor a byte
// away from its place.
struct block_output_t {
  // What a DATA or ACK reads comes first.
  std::uint64_t counted_end = 0;
  output_file_t file;
  std::uint64_t content_bytes = 0;  // bytes of the counted blocks
  int failure = 0;                  // errno of the first failure to write it
  bool created = false;             // a file was created for it
  // Blocks that wait to count outside the file's buffer; their memory is
  // kept for the next blocks.
  std::vector<held_block_t> held;
  std::unique_ptr<char[]> name;  // the output name, as output_name.h builds it
  // With a report: the content's hash, fed as the file is written (or,
  // with -c, as blocks count).
  std::unique_ptr<content_hash> hash;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
// Bytes from the start of the output to the end of what a DATA or ACK
// reads: up to the held blocks, of which it asks whether there are any, the
// first two words of a vector (where its elements begin and end).
inline constexpr std::size_t BLOCK_OUTPUT_HOT_BYTES = offsetof(block_output_t, held) + 2 * sizeof(void *);
#pragma GCC diagnostic pop

// Whether the output file exists (it was created and is not closed).
inline bool output_has_file(const block_output_t &out) { return out.file.exists != 0; }

// Keeps `block`, not counted yet, for its place [offset, offset +
// place_length), in place of any copy held for that place. Ends the process
// when no memory can be had for it.
void output_hold(block_output_t &out, std::uint64_t offset, bytes_t block, std::uint32_t place_length);

// Forgets every block held in memory (the waiting block of a lock-step
// transfer is replaced by whichever DATA comes next).
void output_forget_held(block_output_t &out);

// Where the transfer stands, for the debug line of a write.
struct block_position_t {
  std::uint32_t last_block;
  std::uint32_t last_ack;
};

// Counts the block of `length` bytes held for `offset`: prints it with -c,
// or writes it to the file, which is created on the first count. An empty
// block counts without any output. False, with a warning and `failure`
// set, when the file cannot be created, reopened or written (or standard
// output written): the transfer is then to be abandoned.
bool output_count(block_output_t &out, std::uint64_t offset, std::uint32_t length, block_position_t at);

// The transfer's end was seen: its content is `size` bytes long, even where
// its last places are holes.
void output_settle_size(block_output_t &out, std::uint64_t size);

// Writes out what counted and gives the file its size (holes at its end
// included). False, with the one warning of this output, when it fails or
// had failed.
bool output_finish_writes(block_output_t &out);

// Finishes the writes, closes the file and frees the buffers and the name.
// Again on a released output does nothing.
void output_release(block_output_t &out);

// The content's hash, taken from the output once its writes are finished
// (the report digests it when the hashing is done).
std::unique_ptr<content_hash> output_take_hash(block_output_t &out);

// Bytes of content counted so far, every transfer together.
std::uint64_t output_bytes_carved();

// The bytes that reached the output: those written to its file, or
// printed with -c.
std::uint64_t output_bytes_written(const block_output_t &out);
