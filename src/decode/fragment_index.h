// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>

struct fragment_data_t;

// The pieces of one reassembly record by offset, for a record that holds
// too many pieces to walk (fragment.h): which piece a new one goes after,
// and how far the pieces before it reach. Pieces are indexed as they are
// linked into the record's list, each the last of its offset.
struct piece_index;

// An index of the pieces of the list from `first`. Ends the process when no
// memory can be had for it.
piece_index *piece_index_build(fragment_data_t *first);
void piece_index_free(piece_index *index);

// Records a piece just linked in: it is the last of its offset.
void piece_index_add(piece_index &index, fragment_data_t *piece);

// The furthest end among the pieces that start at or before `offset`.
std::size_t piece_index_reach(const piece_index &index, std::uint32_t offset);

// The last piece, in list order, that starts at or before `offset`.
fragment_data_t *piece_index_last(const piece_index &index, std::uint32_t offset);
