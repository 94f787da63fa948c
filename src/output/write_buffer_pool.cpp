// SPDX-License-Identifier: BSD-2-Clause
#include "output/write_buffer_pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "output/stream_copy.h"

// 32 MiB for all: 2,048 files in progress keep 16 KiB each (32 blocks of
// 512 bytes to a write), 15,000 keep 2 KiB.
std::size_t write_buffer_budget = std::size_t{32} << 20;

// Half a second-level cache: below it, the buffers stay in the cache
// between a block's copy and the write that reads it back, and an ordinary
// copy is cheaper than streaming the lines out to memory and back.
std::size_t write_buffer_cold_above = std::size_t{1} << 20;

namespace {

// Buffers a clock sweep looks at before it gives up making room: most
// buffers may hold staged blocks that cannot be given up, and a sweep must
// not cost a datagram time in proportion to the files in progress.
constexpr std::size_t SWEEP_LIMIT = 64;

std::vector<output_file_t *> ring;  // the files with a buffer; null entries are free places
std::vector<std::uint32_t> free_buffer_places;
std::size_t buffer_hand = 0;
std::size_t buffered_bytes = 0;  // the capacities of all buffers

}  // namespace

std::uint32_t buffer_fair_size() {
  const std::size_t buffers = ring.size() - free_buffer_places.size() + 1;
  const std::size_t files = std::max(output_files_open(), buffers);
  const std::size_t share = files > 1 ? write_buffer_budget / files : write_buffer_budget;
  std::uint32_t size = MAX_BUFFER;
  while (size > MIN_BUFFER && size > share) size >>= 1;
  return size;
}

// A block into its buffer, streamed past the cache while the buffers in
// all are larger than the cache.
void copy_into_buffer(std::uint8_t *to, bytes_t bytes) {
  if (buffered_bytes > write_buffer_cold_above) copy_to_cold(to, bytes.data(), bytes.size());
  else std::memcpy(to, bytes.data(), bytes.size());
}

namespace {

// On a cache line, so that blocks at multiples of 64 bytes fill lines of
// their own. Taken from an allocation 64 bytes larger rather than from
// aligned_alloc, whose split-off remainders fragment the heap when
// thousands of buffers come and go; the byte before the buffer says how far
// in it starts.

std::uint8_t *allocate_new(std::uint32_t capacity) {
  auto *raw = static_cast<std::uint8_t *>(std::malloc(std::size_t{capacity} + CACHE_LINE));
  if (raw == nullptr) return nullptr;
  const std::uintptr_t shift = CACHE_LINE - reinterpret_cast<std::uintptr_t>(raw) % CACHE_LINE;  // 1 to 64
  raw[shift - 1] = static_cast<std::uint8_t>(shift);
  return raw + shift;
}

void release(std::uint8_t *bytes) { std::free(bytes - bytes[-1]); }

// The buffers of files that ended wait here for files that start: with
// thousands of files coming and going, freeing a buffer and allocating one
// again cost more than the bookkeeping of all their writes (malloc merges
// and sorts its free memory at each). Only buffers of the sizes fair_size
// gives are kept, and only while they and the buffers in use stay within
// the budget; they are the first to go when it runs short.
constexpr std::size_t SIZES = 4;  // 2, 4, 8 and 16 KiB
static_assert(MAX_BUFFER == MIN_BUFFER << (SIZES - 1));
std::vector<std::uint8_t *> spares[SIZES];
std::size_t spare_bytes = 0;

// The list for buffers of `capacity` bytes, or null for other sizes.
std::vector<std::uint8_t *> *spares_for(std::uint32_t capacity) {
  for (std::size_t i = 0; i < SIZES; ++i)
    if (capacity == MIN_BUFFER << i) return &spares[i];
  return nullptr;
}

std::uint8_t *allocate(std::uint32_t capacity) {
  std::vector<std::uint8_t *> *list = spares_for(capacity);
  if (list == nullptr || list->empty()) return allocate_new(capacity);
  std::uint8_t *bytes = list->back();
  list->pop_back();
  spare_bytes -= capacity;
  return bytes;
}

void keep_spare(std::uint8_t *bytes, std::uint32_t capacity) {
  std::vector<std::uint8_t *> *list = spares_for(capacity);
  if (list != nullptr && buffered_bytes + spare_bytes + capacity <= write_buffer_budget) {
    try {
      list->push_back(bytes);
      spare_bytes += capacity;
      return;
    } catch (const std::bad_alloc &) {
    }
  }
  release(bytes);
}

// Frees spare buffers until `more` bytes fit in the budget beside them.
void drop_spares(std::size_t more) {
  for (std::size_t i = 0; i < SIZES; ++i) {
    std::vector<std::uint8_t *> &list = spares[i];
    while (!list.empty() && buffered_bytes + spare_bytes + more > write_buffer_budget) {
      release(list.back());
      list.pop_back();
      spare_bytes -= MIN_BUFFER << i;
    }
  }
}

}  // namespace

// Takes the buffer from the file: kept as a spare when the file ended and
// others are in progress. Once none is, the spares go too: a live run
// between transfers, and the end of every run, hold none.
void free_buffer(output_file_t &file, bool ended) {
  write_buffer_t &b = file.buffer;
  ring[b.ring_slot] = nullptr;
  free_buffer_places.push_back(b.ring_slot);
  buffered_bytes -= b.capacity;
  if (ended) keep_spare(b.bytes, b.capacity);
  else release(b.bytes);
  if (buffered_bytes == 0) drop_spares(write_buffer_budget);
  b = write_buffer_t{};
}

// A new buffer for `file`, in the ring; false when memory is short.
bool attach_buffer(output_file_t &file, std::uint32_t capacity) {
  std::uint8_t *bytes = allocate(capacity);
  if (bytes == nullptr) return false;
  std::uint32_t slot;
  try {
    if (free_buffer_places.empty()) {
      slot = static_cast<std::uint32_t>(ring.size());
      ring.push_back(&file);
    } else {
      slot = free_buffer_places.back();
      free_buffer_places.pop_back();
      ring[slot] = &file;
    }
  } catch (const std::bad_alloc &) {
    release(bytes);
    return false;
  }
  file.buffer = write_buffer_t{.bytes = bytes, .capacity = capacity, .ring_slot = slot, .recently_used = true};
  buffered_bytes += capacity;
  return true;
}

// The buffer moved to an allocation of `capacity` bytes, which holds what
// it holds; false (the buffer as it was) when memory is short.
bool resize_buffer(write_buffer_t &b, std::uint32_t capacity) {
  std::uint8_t *moved = allocate(capacity);
  if (moved == nullptr) return false;
  std::memcpy(moved, b.bytes, b.used + b.staged);
  release(b.bytes);
  b.bytes = moved;
  buffered_bytes = buffered_bytes - b.capacity + capacity;
  b.capacity = capacity;
  return true;
}

bool make_buffer_room(std::size_t more, const output_file_t *spared, void (*give_up)(output_file_t &)) {
  drop_spares(more);
  for (std::size_t looked = 0; buffered_bytes + more > write_buffer_budget; ++looked) {
    if (looked == SWEEP_LIMIT || ring.empty()) return false;
    buffer_hand = buffer_hand + 1 < ring.size() ? buffer_hand + 1 : 0;
    output_file_t *f = ring[buffer_hand];
    if (f == nullptr || f == spared || f->buffer.capacity == f->buffer.staged) continue;
    if (f->buffer.recently_used) {
      f->buffer.recently_used = false;
      continue;
    }
    give_up(*f);
  }
  return true;
}
