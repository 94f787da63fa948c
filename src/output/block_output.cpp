// SPDX-License-Identifier: BSD-2-Clause
#include "output/block_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/log.h"
#include "base/options.h"
#include "output/write_buffer.h"
#include "report/run_status.h"
#include "report/hints.h"

namespace {

// Bytes of every transfer counted so far, for the status line.
std::uint64_t carved_bytes = 0;

// A file that cannot be made because something stands at its name (a
// file, a link, a FIFO) is a transfer given up, as it always was; any other
// reason (a full or read-only file system, a folder closed to this user, no
// descriptors left) is a failure of the run.
bool refuse(block_output_t &out) {
  out.failure = errno;
  if (out.failure == EEXIST || output_name_taken(out.name.get())) hint_count(hint::file_existed);
  else run_count_failure();
  log_warning("unable to open file [%s]: %s", out.name.get(), std::strerror(out.failure));
  return false;
}

// Once per output: the first failure is the one told.
bool refuse_write(block_output_t &out, int error) {
  if (out.failure) return false;
  out.failure = error;
  run_count_failure();
  log_warning("unable to write file [%s]: %s", out.name.get(), std::strerror(error));
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

bool print_block(const block_output_t &out, bytes_t block) {
  log_status_clear();
  std::printf("%s: ", out.name.get());
  std::fwrite(block.data(), 1, block.size(), stdout);
  std::putchar('\n');
  std::fflush(stdout);
  return run_stdout_ok("standard output");
}

}  // namespace

void output_hold(block_output_t &out, std::uint64_t offset, bytes_t block, std::uint32_t place_length) {
  if (block.empty() || out.failure) return;
  if (!print_console && output_stage(out.file, out.counted_end, offset, block, place_length)) {
    if (held_block_t *h = out.held.empty() ? nullptr : held_at(out, offset)) drop_entry(*h);
    return;
  }
  keep_in_memory(out, offset, block);
}

void output_forget_held(block_output_t &out) {
  for (held_block_t &h : out.held) drop_entry(h);
  output_unstage(out.file);
}

namespace {

// The bytes of the block held in memory for `offset`, up to `length`,
// printed or written; the block is then let go of. Nothing when none is
// held there.
bool count_held(block_output_t &out, std::uint64_t offset, std::uint32_t length, bytes_t &counted) {
  held_block_t *h = out.held.empty() ? nullptr : held_at(out, offset);
  if (h == nullptr) return true;
  counted = {h->bytes.get(), std::min(h->length, length)};
  drop_entry(*h);  // its bytes stay until the next block is held
  if (print_console) {
    if (print_block(out, counted)) return true;
    out.failure = run_stdout_error();
    return false;
  }
  return output_append(out.file, offset, counted) || refuse_write(out, errno);
}

}  // namespace

bool output_count(block_output_t &out, std::uint64_t offset, std::uint32_t length, block_position_t at) {
  if (out.failure) return false;
  if (out.file.write_failed) return refuse_write(out, out.file.created->write_error);
  if (length == 0) return true;
  bytes_t counted;
  if (!print_console) {
    if (!output_has_file(out)) {
      log_debug(5, "opening file: %s, mode: %s", out.name.get(), "wb");
      if (!output_create(out.file, out.name.get(), overwrite != 0)) return refuse(out);
      out.file.created->hash = out.hash.get();
      out.created = true;
    }
    log_debug(6, "writing file: %s, datalen: %d, last_block: %d, last_ack: %d", out.name.get(), length,
              at.last_block, at.last_ack);
    counted = output_commit(out.file, offset, length);
  }
  if (counted.empty() && !count_held(out, offset, length, counted)) return false;
  // A file's hash is fed as its bytes are written.
  if (print_console && out.hash && !counted.empty()) out.hash->add(offset, counted);
  out.content_bytes += counted.size();
  carved_bytes += counted.size();
  if (offset + length > out.counted_end) out.counted_end = offset + length;
  return true;
}

void output_settle_size(block_output_t &out, std::uint64_t size) {
  if (out.hash) {
    // What counted is hashed first, as it is written out.
    if (output_has_file(out) && !output_flush(out.file)) output_keep_error(out.file, errno);
    out.hash->extend(size);
  }
  if (size != out.counted_end) out.file.size_unsettled = 1;
  out.counted_end = size;
}

bool output_finish_writes(block_output_t &out) {
  if (!output_has_file(out) || out.failure) return out.failure == 0;
  if (!output_flush(out.file)) return refuse_write(out, errno);
  if (out.file.write_failed) return refuse_write(out, out.file.created->write_error);
  if (out.file.size_unsettled && !output_set_size(out.file, out.counted_end)) return refuse_write(out, errno);
  out.file.size_unsettled = 0;
  return true;
}

void output_release(block_output_t &out) {
  output_finish_writes(out);
  output_close(out.file);
  out.name.reset();
  out.held.clear();
  out.held.shrink_to_fit();
}

std::unique_ptr<content_hash> output_take_hash(block_output_t &out) {
  if (output_has_file(out)) out.file.created->hash = nullptr;
  return std::move(out.hash);
}

std::uint64_t output_bytes_carved() { return carved_bytes; }

std::uint64_t output_bytes_written(const block_output_t &out) {
  if (print_console) return out.content_bytes;
  return out.file.created ? out.file.created->written : 0;
}
