// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/address.h"
#include "base/cursor.h"
#include "decode/ip6_origin.h"

// Reassembly of fragmented IPv4 and IPv6 datagrams.
//
// A record collects the pieces of one datagram, keyed by source, destination
// and identification (16 bits for IPv4, 32 for IPv6; the two families never
// share a key, as their addresses differ). Its invariants:
//   - FRAG_HAVE_FIRST once a piece at offset 0 was accepted;
//   - FRAG_HAVE_LAST once a last fragment was seen, and `length` is its end;
//   - pieces are kept in ascending offset order, and every piece end and every
//     `length` is at most 65535;
//   - a FRAG_BAD record holds no pieces and swallows its key to the end of the
//     run.
// Overlap policy: a piece wholly inside an earlier-or-equal stored piece is
// dropped; otherwise each byte comes from the first piece in list order that
// covers it.
inline constexpr std::uint16_t FRAG_HAVE_FIRST = 1;
inline constexpr std::uint16_t FRAG_HAVE_LAST = 2;
inline constexpr std::uint16_t FRAG_REASSEMBLED = 4;
inline constexpr std::uint16_t FRAG_BAD = 8;

inline constexpr int FRAG_BUCKETS = 101;

struct fragment_data_t {
  fragment_data_t *next;
  std::uint32_t offset;
  std::size_t len;
  std::uint8_t *data;  // the piece's own copy, allocated with the node
  bool absorbed;       // counted in its record's `covered`
};

struct piece_index;

// What the pieces of one IPv6 datagram share, as its first piece (or the
// piece that made the record) shows it: what its UDP layer needs once whole.
struct fragment_origin6 {
  ip6_origin origin;
  std::uint8_t next_header;  // the first header of the fragmentable part
};

// The key of a record. Each address is held as its hash_bits, one number
// per address of either family, so that a key compares in three steps.
struct frag_key {
  std::uint64_t src;
  std::uint64_t dst;
  std::uint32_t id;
  bool operator==(const frag_key &) const = default;
};

struct fragment_v6_t;

struct fragment_t {
  fragment_t *next;  // next record of the same bucket, newer first
  std::uint8_t header[20];  // IPv4 only: the first piece's header, as for `v6`
  std::uint16_t flags;
  std::size_t length;
  fragment_data_t *data;
  std::uint8_t *packet;  // assembled payload, once FRAG_REASSEMBLED
  fragment_t *prev;      // previous record of the bucket, for unlinking in place
  // What the coverage walk from the first piece would find, kept up to date
  // as pieces arrive, so that no fragment costs a walk of all the others:
  // `covered` bytes from 0 are contiguous, made of the absorbed pieces, and
  // the walk stops at `cover_next` (null once every piece is absorbed).
  std::size_t covered;
  fragment_data_t *cover_next;
  // The piece inserted last and the largest end among the pieces before it:
  // pieces mostly arrive in order, so the next one usually goes right after.
  fragment_data_t *finger;
  std::size_t finger_prefix_end;
  // Pieces out of order can defeat that guess every time; once a record
  // holds more than `piece_walk_limit` pieces, an index by offset finds the
  // insertion point instead of a walk.
  std::uint32_t pieces;
  piece_index *index;
  // Records in the order they were made, so that the unfinished ones can be
  // forgotten once older than FRAG_TIMEOUT_US (frag_expire).
  std::int64_t created_us;
  fragment_t *age_next;  // made later
  fragment_t *age_prev;
  // IPv6 only, allocated with the record (an IPv4 record stays as small as
  // its pieces allow): what the pieces share, and the record's key.
  fragment_v6_t *v6;
};

struct fragment_v6_t {
  fragment_origin6 shared;
  ip_address src;
  ip_address dst;
  frag_key key;
  int bucket;
};

// A datagram whose fragments have not all come after this long in capture
// time never will: real stacks give up after 30 seconds (Linux's default).
inline constexpr std::int64_t FRAG_TIMEOUT_US = 30LL * 1000000;

// Forgets every unfinished record made before `now_us` minus the timeout.
void frag_expire(std::int64_t now_us);

// Set only while no record holds pieces (tests set it to 0 to compare).
extern std::size_t piece_walk_limit;

// Empties the table (its records must already have been released).
void frag_table_init();

int frag_hash(std::uint32_t src, std::uint32_t dst, std::uint16_t id);

// `header` is the fragment's IPv4 header (at least 20 bytes); `offset_units` its
// offset in 8-byte units; `more` non-zero when more fragments follow.
fragment_t *frag_add(bytes_t header, unsigned offset_units, unsigned more, bytes_t payload);
// The same for a piece of an IPv6 datagram.
fragment_t *frag_add6(const fragment_origin6 &origin, unsigned offset_units, unsigned more, bytes_t payload);
int frag_reassemble(fragment_t *record);
void frag_release(fragment_t *record);
void frag_release_all();
