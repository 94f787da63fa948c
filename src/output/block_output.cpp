#include "output/block_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "run/log.h"
#include "run/options.h"

namespace {

void print_block(const block_output_t &out) {
  std::printf("%s: ", out.name.get());
  std::fwrite(out.data.get(), 1, out.datalen, stdout);
  std::putchar('\n');
  std::fflush(stdout);
}

bool refuse(const block_output_t &out) {
  log_warning("unable to open file [%s]: %s", out.name.get(), std::strerror(errno));
  return false;
}

}  // namespace

void output_hold(block_output_t &out, bytes_t block) {
  if (block.empty()) return;
  if (!print_console && output_has_file(out) && output_write_ahead(out.file, block)) {
    out.pending = true;
    out.pending_in_file = true;
    out.datalen = static_cast<std::uint32_t>(block.size());
    // The buffer of the first block is not needed again unless the file
    // loses its descriptor: thousands of transfers in progress should not
    // each hold one.
    out.data.reset();
    out.data_capacity = 0;
    return;
  }
  // A block waiting in memory is never shorter than the one that replaces
  // it, so only a block written ahead, or none, can call for a new buffer.
  if (block.size() > out.data_capacity) {
    out.data.reset(new (std::nothrow) std::uint8_t[block.size()]);
    if (!out.data) log_error(3, "failed to allocate request->data");
    out.data_capacity = static_cast<std::uint32_t>(block.size());
  }
  std::memcpy(out.data.get(), block.data(), block.size());
  out.pending = true;
  out.pending_in_file = false;
  out.datalen = static_cast<std::uint32_t>(block.size());
}

bool output_count(block_output_t &out, block_position_t at) {
  if (print_console) {
    print_block(out);
  } else {
    if (!output_has_file(out)) {
      log_debug(5, "opening file: %s, mode: %s", out.name.get(), "wb");
      if (!output_create(out.file, out.name.get(), overwrite != 0)) return refuse(out);
    }
    log_debug(6, "writing file: %s, datalen: %d, last_block: %d, last_ack: %d", out.name.get(), out.datalen,
              at.last_block, at.last_ack);
    if (out.pending_in_file) output_commit(out.file, out.datalen);
    else if (!output_write(out.file, {out.data.get(), out.datalen})) return refuse(out);
  }
  // The buffer is kept for the next block; only the block ends here.
  out.pending = false;
  return true;
}

void output_release(block_output_t &out) {
  output_close(out.file);
  out.name.reset();
  out.data.reset();
  out.data_capacity = 0;
  out.pending = false;
}
