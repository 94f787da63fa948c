#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/bytes.h"
#include "output/output_file.h"

// The output of one transfer: its file (or standard output with -c), its
// name, and the block that waits for its acknowledgement.
//
// Which bytes of the file count: those of the blocks counted so far, from the
// start of the file up to `file.offset`. The waiting block is kept in `data`
// or, once the file exists, written ahead in the file from `file.offset` on
// (while it is still in the processor's cache, instead of copied now and
// written later); `file.ahead` says how far such bytes reach. Counting the
// block moves `file.offset` over it. Whatever lies past `file.offset` is cut
// back when the output is released, and every way out of the run releases
// every output: the end of its transfer, its replacement, the end of the run
// and a fatal exit. So no file keeps a byte that was not counted.
struct block_output_t {
  // What a DATA or ACK reads comes first.
  std::uint32_t datalen = 0;      // length of the waiting block
  bool pending = false;           // a block waits
  bool pending_in_file = false;   // written ahead rather than kept in `data`
  output_file_t file;
  // The buffer outlives its block so that the next one needs no allocation;
  // it is freed with the output, or once blocks go to the file ahead.
  std::unique_ptr<std::uint8_t[]> data;
  std::uint32_t data_capacity = 0;
  std::unique_ptr<char[]> name;   // the output name, as output_name.h builds it
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
// Bytes from the start of the output to the end of what a block's write reads.
inline constexpr std::size_t BLOCK_OUTPUT_HOT_BYTES =
    offsetof(block_output_t, file) + offsetof(output_file_t, created);
#pragma GCC diagnostic pop

// Makes `block` the waiting one, in place of any other. Ends the process
// when no buffer can be had.
void output_hold(block_output_t &out, bytes_t block);

// Where the transfer stands, for the debug line of a write.
struct block_position_t {
  std::uint32_t last_block;
  std::uint32_t last_ack;
};

// Counts the waiting block: prints it with -c, or writes it to the file,
// which is created on the first count. False, with a warning, when the file
// cannot be created or reopened: the transfer is then to be abandoned.
bool output_count(block_output_t &out, block_position_t at);

// Whether the output file exists (it was created and is not closed).
inline bool output_has_file(const block_output_t &out) { return out.file.created != nullptr; }

// Cuts back what was not counted, closes the file and frees the buffer and
// the name. Again on a released output does nothing.
void output_release(block_output_t &out);
