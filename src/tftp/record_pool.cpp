// SPDX-License-Identifier: BSD-2-Clause
#include "tftp/record_pool.h"

#include <sys/mman.h>

#include <cstdint>

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

// Blocks are mapped from the system, apart from the heap, so that they
// leave no holes among the write buffers, and only the pages of the records
// taken so far count in the process's memory: a run of a few transfers
// costs a few pages, not the block.
constexpr std::size_t BLOCK_BYTES = std::size_t{1} << 20;

// A block begins with the link to the block made before it, then one
// cache line's worth of room so that the records keep their alignment.
struct block_header {
  block_header *older;
};
constexpr std::size_t HEADER_BYTES = POOL_RECORD_ALIGN;
constexpr std::size_t RECORDS_PER_BLOCK = (BLOCK_BYTES - HEADER_BYTES) / POOL_RECORD_BYTES;
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
  // Mapped memory begins on a page, and so is aligned for records.
  void *memory = mmap(nullptr, BLOCK_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  auto *block = static_cast<block_header *>(memory);
  block->older = newest_block;
  newest_block = block;
  unused_in_newest = RECORDS_PER_BLOCK;
  POOL_POISON(record_at(block, 0), RECORDS_PER_BLOCK * POOL_RECORD_BYTES);
  return true;
}

// No record is taken: every block but the newest goes back to the system,
// and the newest is used again from its start (so that a run of one
// transfer at a time maps no block for each).
void free_older_blocks() {
  block_header *older = newest_block->older;
  newest_block->older = nullptr;
  while (older) {
    block_header *next = older->older;
    // Whatever is mapped here next must not read as freed.
    POOL_UNPOISON(record_at(older, 0), RECORDS_PER_BLOCK * POOL_RECORD_BYTES);
    munmap(older, BLOCK_BYTES);
    older = next;
  }
  free_list = nullptr;
  unused_in_newest = RECORDS_PER_BLOCK;
  POOL_POISON(record_at(newest_block, 0), RECORDS_PER_BLOCK * POOL_RECORD_BYTES);
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
  if (--taken == 0) free_older_blocks();
}

std::size_t pool_records_taken() { return taken; }
