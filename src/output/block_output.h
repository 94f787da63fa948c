#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/bytes.h"
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
// acknowledgement, the sender moving on, or the end of the transfer). The
// file's content is the counted blocks, each at its place; a place that no
// counted block filled is a hole and reads as zeros. `counted_end` is where
// the content ends. Blocks that do not count yet always lie at or past it:
// they wait in `held` or, once the file exists and holds a descriptor, are
// written ahead at their place (while still in the processor's cache,
// instead of copied now and written later). Whatever lies past
// `counted_end` when the output is released is cut off, and every way out
// of the run releases every output: the end of its transfer, its
// replacement, the end of the run and a fatal exit. So no file keeps a byte
// that did not count, nor a byte away from its place.
struct block_output_t {
  // What a DATA or ACK reads comes first.
  std::uint64_t counted_end = 0;
  output_file_t file;
  // Blocks that wait in memory: before the file exists, while its
  // descriptor is parked, and always with -c. Their buffers are kept for
  // the next blocks, and freed once blocks go to the file ahead.
  std::vector<held_block_t> held;
  std::unique_ptr<char[]> name;  // the output name, as output_name.h builds it
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
// Bytes from the start of the output to the end of what a block reads: the
// file's descriptor and its word of flags, which `created` follows.
inline constexpr std::size_t BLOCK_OUTPUT_HOT_BYTES = offsetof(block_output_t, file) + offsetof(output_file_t, created);
#pragma GCC diagnostic pop

// Whether the output file exists (it was created and is not closed).
inline bool output_has_file(const block_output_t &out) { return out.file.exists != 0; }

// Keeps `block`, not counted yet, for its place at `offset`, in place of
// any copy held for that place. Ends the process when no buffer can be had.
void output_hold(block_output_t &out, std::uint64_t offset, bytes_t block);

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
// block counts without any output. False, with a warning, when the file
// cannot be created or reopened: the transfer is then to be abandoned.
bool output_count(block_output_t &out, std::uint64_t offset, std::uint32_t length, block_position_t at);

// The transfer's end was seen: its content is `size` bytes long, even where
// its last places are holes.
void output_settle_size(block_output_t &out, std::uint64_t size);

// Cuts off what did not count, closes the file and frees the buffers and
// the name. Again on a released output does nothing.
void output_release(block_output_t &out);
