// SPDX-License-Identifier: BSD-2-Clause
#include "decode/fragment_index.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "decode/fragment.h"

namespace {

// The pieces of a record by offset, in blocks of 64 offsets (512 bytes).
// Pieces at one offset are kept in arrival order, and the last of them ends
// furthest: a piece is only kept when it reaches past every piece that starts
// at or before it, unless it is empty and nothing reaches past its offset,
// and then every piece at its offset is empty too. So the last piece of each
// offset is all the index needs: the next piece at or after that offset goes
// right after it, and its end is the furthest any piece there reaches.
struct offset_block {
  std::uint64_t present;      // bit i: a piece starts at the block's i-th offset
  std::uint32_t max_end;      // the furthest end among the block's pieces
  std::uint32_t capacity;     // of `tails`
  fragment_data_t **tails;    // the last piece of each offset present, in bit order
};

}  // namespace

struct piece_index {
  std::array<offset_block, 128> blocks;
};

namespace {

std::uint64_t bits_up_to(unsigned bit) { return bit == 63 ? ~0ull : (2ull << bit) - 1; }

offset_block &block_of(piece_index &index, std::uint32_t offset) { return index.blocks[offset >> 9]; }

unsigned bit_of(std::uint32_t offset) { return (offset >> 3) & 63; }

}  // namespace

// The furthest end among the pieces that start at or before `offset`.
std::size_t piece_index_reach(const piece_index &index, std::uint32_t offset) {
  std::size_t reach = 0;
  for (unsigned b = 0; b < (offset >> 9); ++b) reach = std::max<std::size_t>(reach, index.blocks[b].max_end);
  const offset_block &block = index.blocks[offset >> 9];
  // The offsets at or before this one hold the first tails of the block.
  const int count = __builtin_popcountll(block.present & bits_up_to(bit_of(offset)));
  for (int i = 0; i < count; ++i) reach = std::max(reach, block.tails[i]->offset + block.tails[i]->len);
  return reach;
}

// The last piece, in list order, that starts at or before `offset`.
fragment_data_t *piece_index_last(const piece_index &index, std::uint32_t offset) {
  unsigned b = offset >> 9;
  const int count = __builtin_popcountll(index.blocks[b].present & bits_up_to(bit_of(offset)));
  if (count > 0) return index.blocks[b].tails[count - 1];
  while (b-- > 0)
    if (index.blocks[b].present) return index.blocks[b].tails[__builtin_popcountll(index.blocks[b].present) - 1];
  return nullptr;
}

// Records a piece just linked in: it is the last of its offset.
void piece_index_add(piece_index &index, fragment_data_t *piece) {
  offset_block &block = block_of(index, piece->offset);
  const unsigned bit = bit_of(piece->offset);
  const int rank = __builtin_popcountll(block.present & (bits_up_to(bit) >> 1));
  block.max_end = std::max<std::uint32_t>(block.max_end, static_cast<std::uint32_t>(piece->offset + piece->len));
  if (block.present >> bit & 1) {
    block.tails[rank] = piece;
    return;
  }
  const int count = __builtin_popcountll(block.present);
  if (static_cast<std::uint32_t>(count) == block.capacity) {
    const std::uint32_t capacity = block.capacity ? block.capacity * 2 : 4;
    void *grown = std::realloc(block.tails, capacity * sizeof *block.tails);
    if (grown == nullptr) log_error(-1, "failed to allocate new fragment");
    block.tails = static_cast<fragment_data_t **>(grown);
    block.capacity = capacity;
  }
  std::memmove(block.tails + rank + 1, block.tails + rank, (count - rank) * sizeof *block.tails);
  block.tails[rank] = piece;
  block.present |= 1ull << bit;
}

piece_index *piece_index_build(fragment_data_t *first) {
  auto *index = static_cast<piece_index *>(std::calloc(1, sizeof(piece_index)));
  if (index == nullptr) log_error(-1, "failed to allocate new fragment");
  for (fragment_data_t *piece = first; piece; piece = piece->next) piece_index_add(*index, piece);
  return index;
}

void piece_index_free(piece_index *index) {
  if (index == nullptr) return;
  for (offset_block &block : index->blocks) std::free(block.tails);
  std::free(index);
}
