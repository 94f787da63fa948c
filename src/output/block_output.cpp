#include "output/block_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "run/log.h"
#include "run/options.h"

namespace {

bool refuse(const block_output_t &out) {
  log_warning("unable to open file [%s]: %s", out.name.get(), std::strerror(errno));
  return false;
}

held_block_t *held_at(block_output_t &out, std::uint64_t offset) {
  for (held_block_t &h : out.held)
    if (h.offset == offset && h.length != 0) return &h;
  return nullptr;
}

// A free entry (length 0) for a new block, reusing a buffer where one is.
held_block_t &free_entry(block_output_t &out) {
  for (held_block_t &h : out.held)
    if (h.length == 0) return h;
  try {
    return out.held.emplace_back();
  } catch (const std::bad_alloc &) {
    log_error(3, "failed to allocate request->data");
  }
  return out.held.back();
}

void keep_in_memory(block_output_t &out, std::uint64_t offset, bytes_t block) {
  held_block_t *h = held_at(out, offset);
  if (h == nullptr) h = &free_entry(out);
  if (block.size() > h->capacity) {
    h->bytes.reset(new (std::nothrow) std::uint8_t[block.size()]);
    if (!h->bytes) log_error(3, "failed to allocate request->data");
    h->capacity = static_cast<std::uint32_t>(block.size());
  }
  std::memcpy(h->bytes.get(), block.data(), block.size());
  h->offset = offset;
  h->length = static_cast<std::uint32_t>(block.size());
}

void drop_entry(held_block_t &h) { h.length = 0; }

void print_block(const block_output_t &out, const held_block_t &h, std::uint32_t length) {
  log_status_clear();
  std::printf("%s: ", out.name.get());
  std::fwrite(h.bytes.get(), 1, length, stdout);
  std::putchar('\n');
  std::fflush(stdout);
}

// The file was just created: the blocks still held go there, at their
// places, and the buffers are let go (thousands of transfers in progress
// should not each keep one).
bool move_held_to_file(block_output_t &out) {
  for (held_block_t &h : out.held) {
    if (h.length == 0) continue;
    if (!output_write_at(out.file, h.offset, {h.bytes.get(), h.length})) return false;
    if (h.offset + h.length > out.counted_end) out.file.size_unsettled = 1;
  }
  out.held.clear();
  out.held.shrink_to_fit();
  return true;
}

}  // namespace

void output_hold(block_output_t &out, std::uint64_t offset, bytes_t block) {
  if (block.empty()) return;
  if (!print_console && !out.hash && output_has_file(out) && out.held.empty() &&
      output_write_ahead_at(out.file, offset, block)) {
    out.file.size_unsettled = 1;
    return;
  }
  keep_in_memory(out, offset, block);
}

void output_forget_held(block_output_t &out) {
  for (held_block_t &h : out.held) drop_entry(h);
}

bool output_count(block_output_t &out, std::uint64_t offset, std::uint32_t length, block_position_t at) {
  if (length == 0) return true;
  held_block_t *h = held_at(out, offset);
  const std::uint32_t kept = h ? std::min(h->length, length) : 0;
  if (print_console) {
    if (h) print_block(out, *h, kept);
  } else {
    if (!output_has_file(out)) {
      log_debug(5, "opening file: %s, mode: %s", out.name.get(), "wb");
      if (!output_create(out.file, out.name.get(), overwrite != 0)) return refuse(out);
      out.created = true;
    }
    log_debug(6, "writing file: %s, datalen: %d, last_block: %d, last_ack: %d", out.name.get(), length,
              at.last_block, at.last_ack);
    if (h && !output_write_at(out.file, offset, {h->bytes.get(), kept})) return refuse(out);
  }
  if (h) {
    if (out.hash) out.hash->add(offset, {h->bytes.get(), kept});
    drop_entry(*h);
  }
  out.content_bytes += h ? kept : length;
  if (offset + length > out.counted_end) out.counted_end = offset + length;
  // With a hash the blocks wait in memory until they count, so that their
  // bytes are at hand for it then.
  if (!print_console && !out.hash && !out.held.empty() && !move_held_to_file(out)) return refuse(out);
  return true;
}

void output_settle_size(block_output_t &out, std::uint64_t size) {
  if (out.hash) out.hash->extend(size);
  if (size != out.counted_end) out.file.size_unsettled = 1;
  out.counted_end = size;
}

void output_release(block_output_t &out) {
  if (output_has_file(out) && out.file.size_unsettled) output_set_size(out.file, out.counted_end);
  output_close(out.file);
  out.name.reset();
  out.held.clear();
  out.held.shrink_to_fit();
}
