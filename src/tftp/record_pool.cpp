// SPDX-License-Identifier: BSD-2-Clause
#include "tftp/record_pool.h"

#include <cstdint>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// A record given back reads as freed memory, as a freed allocation would.
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// About 64 KiB a block: below the size the allocator maps on its own, and
// small enough that a few records in use cost little.
constexpr std::size_t RECORDS_PER_BLOCK = 204;

// A block begins with the link to the block made before it, then one
// cache line's worth of room so that the records keep their alignment.
struct block_header {
  block_header *older;
};
constexpr std::size_t HEADER_BYTES = POOL_RECORD_ALIGN;
constexpr std::size_t BLOCK_BYTES = HEADER_BYTES + RECORDS_PER_BLOCK * POOL_RECORD_BYTES;
static_assert(sizeof(block_header) <= HEADER_BYTES && POOL_RECORD_BYTES % POOL_RECORD_ALIGN == 0);

// A record given back holds the link to the one given back before it.
struct free_record {
  free_record *next;
};

block_header *newest_block = nullptr;
std::size_t unused_in_newest = 0;  // records of the newest block never taken
free_record *free_list = nullptr;
std::size_t taken = 0;

std::uint8_t *record_at(block_header *block, std::size_t i) {
  return reinterpret_cast<std::uint8_t *>(block) + HEADER_BYTES + i * POOL_RECORD_BYTES;
}

bool add_block() {
  void *memory = ::operator new(BLOCK_BYTES, std::align_val_t{POOL_RECORD_ALIGN}, std::nothrow);
  if (memory == nullptr) return false;
  auto *block = static_cast<block_header *>(memory);
  block->older = newest_block;
  newest_block = block;
  unused_in_newest = RECORDS_PER_BLOCK;
  POOL_POISON(record_at(block, 0), RECORDS_PER_BLOCK * POOL_RECORD_BYTES);
  return true;
}

void free_blocks() {
  while (newest_block) {
    block_header *older = newest_block->older;
    POOL_UNPOISON(record_at(newest_block, 0), RECORDS_PER_BLOCK * POOL_RECORD_BYTES);
    ::operator delete(newest_block, std::align_val_t{POOL_RECORD_ALIGN});
    newest_block = older;
  }
  unused_in_newest = 0;
  free_list = nullptr;
}

}  // namespace

void *pool_take() {
  void *record = nullptr;
  if (free_list != nullptr) {
    POOL_UNPOISON(free_list, POOL_RECORD_BYTES);
    record = free_list;
    free_list = free_list->next;
  } else {
    if (unused_in_newest == 0 && !add_block()) return nullptr;
    record = record_at(newest_block, RECORDS_PER_BLOCK - unused_in_newest--);
    POOL_UNPOISON(record, POOL_RECORD_BYTES);
  }
  ++taken;
  return record;
}

void pool_give(void *record) {
  if (record == nullptr) return;
  auto *f = static_cast<free_record *>(record);
  f->next = free_list;
  free_list = f;
  POOL_POISON(record, POOL_RECORD_BYTES);
  if (--taken == 0) free_blocks();
}

std::size_t pool_records_taken() { return taken; }
