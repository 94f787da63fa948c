// SPDX-License-Identifier: BSD-2-Clause
#include "decode/fragment.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <unordered_map>

#include "base/address.h"
#include "base/capture_clock.h"
#include "decode/fragment_index.h"
#include "decode/ipv4.h"
#include "base/log.h"

std::size_t piece_walk_limit = 64;

namespace {

// The bucket heads; the end-of-run dump walks them in order.
std::array<fragment_t *, FRAG_BUCKETS> fragment_table{};

constexpr std::size_t MAX_DATAGRAM_PAYLOAD = 65535;

struct frag_key_hash {
  std::size_t operator()(const frag_key &k) const noexcept {
    const std::uint64_t v = (k.src << 32 ^ k.src >> 32 ^ k.dst) * 0x9e3779b97f4a7c15ull;
    return static_cast<std::size_t>(v ^ (v >> 29) ^ (static_cast<std::uint64_t>(k.id) * 0xff51afd7ed558ccdull));
  }
};

// Finding a record must not cost a walk of its bucket, whose chain grows with
// every datagram left incomplete; the chains are kept for the order of the
// end-of-run dump, this index for the lookup.
std::unordered_map<frag_key, fragment_t *, frag_key_hash> frag_index;

frag_key key_of(bytes_t header) {
  return {ip_address::from_stored_v4(load_raw32(header, IP_SRC)).hash_bits(),
          ip_address::from_stored_v4(load_raw32(header, IP_DST)).hash_bits(), load_be16(header, IP_ID)};
}

// The bucket hash reads the fields as stored.
int bucket_of(bytes_t header) {
  return frag_hash(load_raw32(header, IP_SRC), load_raw32(header, IP_DST),
                   __builtin_bswap16(load_be16(header, IP_ID)));
}

unsigned fold_field(unsigned h, std::uint32_t v) {
  do {
    h = (h * 256 + (v & 0xff)) % FRAG_BUCKETS;
    v >>= 8;
  } while (v != 0);
  return h;
}

unsigned fold_bytes(unsigned h, const std::uint8_t *bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) h = (h * 256 + bytes[i]) % FRAG_BUCKETS;
  return h;
}

void link_at_head(fragment_t *record, int bucket) {
  record->prev = nullptr;
  record->next = fragment_table[bucket];
  if (record->next) record->next->prev = record;
  fragment_table[bucket] = record;
}

// Records by age, oldest first.
fragment_t *oldest_record = nullptr;
fragment_t *newest_record = nullptr;

void link_by_age(fragment_t *record) {
  record->created_us = capture_latest_us;
  record->age_next = nullptr;
  record->age_prev = newest_record;
  if (newest_record) newest_record->age_next = record;
  else oldest_record = record;
  newest_record = record;
}

void unlink_by_age(fragment_t *record) {
  if (record->age_prev) record->age_prev->age_next = record->age_next;
  else oldest_record = record->age_next;
  if (record->age_next) record->age_next->age_prev = record->age_prev;
  else newest_record = record->age_prev;
  record->age_next = record->age_prev = nullptr;
}

void free_index(fragment_t *record) {
  piece_index_free(record->index);
  record->index = nullptr;
  record->pieces = 0;
}

void free_pieces(fragment_t *record) {
  fragment_data_t *piece = record->data;
  while (piece) {
    fragment_data_t *next = piece->next;
    std::free(piece);
    piece = next;
  }
  record->data = nullptr;
  record->covered = 0;
  record->cover_next = nullptr;
  record->finger = nullptr;
  record->finger_prefix_end = 0;
  free_index(record);
}

void make_bad(fragment_t *record) {
  free_pieces(record);
  record->flags |= FRAG_BAD;
}

fragment_data_t *new_piece(std::uint32_t offset, bytes_t bytes) {
  // Node and bytes in one allocation: one call instead of two per piece.
  void *memory = std::malloc(sizeof(fragment_data_t) + bytes.size());
  if (memory == nullptr)
    log_error(-1, "failed to allocate new fragment data of length: %d", static_cast<int>(bytes.size()));
  auto *piece = static_cast<fragment_data_t *>(memory);
  piece->next = nullptr;
  piece->offset = offset;
  piece->len = bytes.size();
  piece->data = reinterpret_cast<std::uint8_t *>(piece + 1);
  piece->absorbed = false;
  if (!bytes.empty()) std::memcpy(piece->data, bytes.data(), bytes.size());
  return piece;
}

bool lies_within(const fragment_data_t *stored, std::uint32_t offset, std::size_t len) {
  const std::size_t end = stored->offset + stored->len;
  return end > offset && offset + len <= end;
}

frag_key key_of(const fragment_t *record) {
  return record->v6 ? record->v6->key : key_of(bytes_t{record->header, IP_HEADER_MIN});
}

int bucket_of(const fragment_t *record) {
  return record->v6 ? record->v6->bucket : bucket_of(bytes_t{record->header, IP_HEADER_MIN});
}

void unlink_from_bucket(fragment_t *record, int bucket) {
  if (record->prev) record->prev->next = record->next;
  else fragment_table[bucket] = record->next;
  if (record->next) record->next->prev = record->prev;
}

void print_record(int bucket, const fragment_t *record) {
  const bytes_t header{record->header, IP_HEADER_MIN};
  const fragment_v6_t *v6 = record->v6;
  const address_text src = to_text(v6 ? v6->src : ip_address::from_stored_v4(load_raw32(header, IP_SRC)));
  const address_text dst = to_text(v6 ? v6->dst : ip_address::from_stored_v4(load_raw32(header, IP_DST)));
  const std::uint32_t id = key_of(record).id;
  log_debug_line("fragment bucket %d: [%p], length=%u, flags=%04X, src=%s, dst=%s, id=%u", bucket,
                 static_cast<const void *>(record), static_cast<unsigned>(record->length), record->flags, src.text,
                 dst.text, static_cast<unsigned>(id));
  for (const fragment_data_t *piece = record->data; piece; piece = piece->next)
    log_debug_line("fragment bucket %d: [%p], data[%p], offset=%u, len=%u", bucket,
                   static_cast<const void *>(record), static_cast<const void *>(piece), piece->offset,
                   static_cast<unsigned>(piece->len));
}

}  // namespace

void frag_table_init() {
  fragment_table.fill(nullptr);
  frag_index.clear();
  oldest_record = newest_record = nullptr;
}

int frag_hash(std::uint32_t src, std::uint32_t dst, std::uint16_t id) {
  // Bytes in the order they stand in the packet, each field up to its last
  // non-zero byte: on a little-endian host that is the stored value read
  // from its low byte up.
  unsigned h = fold_field(0, src);
  h = fold_field(h, dst);
  h = fold_field(h, id);
  return static_cast<int>(h);
}

namespace {

// The bucket of an IPv6 datagram: its addresses' and identification's bytes
// folded in packet order.
int frag_hash6(const ip6_origin &origin) {
  unsigned h = fold_bytes(0, origin.src.data(), origin.src.size());
  h = fold_bytes(h, origin.dst.data(), origin.dst.size());
  const std::uint8_t id[4] = {static_cast<std::uint8_t>(origin.id >> 24), static_cast<std::uint8_t>(origin.id >> 16),
                              static_cast<std::uint8_t>(origin.id >> 8), static_cast<std::uint8_t>(origin.id)};
  return static_cast<int>(fold_bytes(h, id, sizeof id));
}

void frag_insert_data(fragment_t *record, std::uint32_t offset, bytes_t piece);

// The record of a key, made when it has none yet; `created` tells which.
// The bucket, a fold over the key's bytes, is only worked out for a new
// record.
template <class Bucket>
fragment_t *record_for(const frag_key &key, Bucket bucket_of_key, bool ipv6, bool &created) {
  created = false;
  // One lookup finds the record or makes its index entry. The entry is part
  // of the new record: a failed allocation there (a node, or the bucket
  // array when the index grows) is fatal in the same way, not an exception
  // that aborts the process.
  decltype(frag_index)::iterator slot;
  try {
    bool inserted;
    std::tie(slot, inserted) = frag_index.try_emplace(key, nullptr);
    if (!inserted) return slot->second;
  } catch (const std::bad_alloc &) {
    log_error(-1, "failed to allocate new fragment");
  }
  const int bucket = bucket_of_key();
  auto *record = static_cast<fragment_t *>(std::calloc(1, sizeof(fragment_t) + (ipv6 ? sizeof(fragment_v6_t) : 0)));
  if (record == nullptr) log_error(-1, "failed to allocate new fragment");
  if (ipv6) {
    record->v6 = reinterpret_cast<fragment_v6_t *>(record + 1);
    record->v6->key = key;
    record->v6->bucket = bucket;
  }
  slot->second = record;
  link_at_head(record, bucket);
  link_by_age(record);
  created = true;
  return record;
}

bool overlaps_stored(const fragment_t *record, std::uint32_t offset, bytes_t piece);

// Files a piece in its record; the record when the piece was kept.
fragment_t *add_piece(fragment_t *record, unsigned offset_units, unsigned more, bytes_t payload) {
  if (record->flags & FRAG_BAD) return nullptr;
  // IPv6 forbids overlaps: a datagram whose pieces overlap could show this
  // tool one payload and its receiver another, so it is dropped whole, its
  // later pieces too, and silently (RFC 5722). An exact copy of a piece is
  // a duplicate, not an overlap. IPv4 keeps its first-piece-wins rule.
  if (record->v6 && overlaps_stored(record, offset_units * 8, payload)) {
    log_debug(2, "overlapping ipv6 fragments; datagram dropped; id=%u", static_cast<unsigned>(record->v6->key.id));
    make_bad(record);
    return nullptr;
  }

  const std::uint32_t offset = offset_units * 8;
  const std::size_t end = offset + payload.size();
  if (end > MAX_DATAGRAM_PAYLOAD) {
    log_warning("length of fragment packet exceeds max possible data; offset: %d, caplen: %d, length: %d",
                offset, static_cast<int>(payload.size()), static_cast<int>(MAX_DATAGRAM_PAYLOAD));
    make_bad(record);
    return nullptr;
  }
  if (offset_units == 0) record->flags |= FRAG_HAVE_FIRST;
  if (!more) {
    record->flags |= FRAG_HAVE_LAST;
    record->length = end;
  }
  frag_insert_data(record, offset, payload);
  return record;
}

}  // namespace

fragment_t *frag_add(bytes_t header, unsigned offset_units, unsigned more, bytes_t payload) {
  bool created;
  fragment_t *record = record_for(key_of(header), [header] { return bucket_of(header); }, false, created);
  if (created || offset_units == 0) std::memcpy(record->header, header.data(), IP_HEADER_MIN);
  return add_piece(record, offset_units, more, payload);
}

fragment_t *frag_add6(const fragment_origin6 &piece, unsigned offset_units, unsigned more, bytes_t payload) {
  const ip6_origin &origin = piece.origin;
  ip_address src, dst;
  try {
    src = ip_address::from_v6(origin.src.data());
    dst = ip_address::from_v6(origin.dst.data());
  } catch (const std::bad_alloc &) {
    log_error(-1, "failed to allocate new fragment");
  }
  bool created;
  fragment_t *record =
      record_for({src.hash_bits(), dst.hash_bits(), origin.id}, [&origin] { return frag_hash6(origin); }, true, created);
  if (created) {
    record->v6->src = src;
    record->v6->dst = dst;
  }
  // As for IPv4's header: the first piece tells where the fragmentable part
  // begins and which destination the checksum covers.
  if (created || offset_units == 0) record->v6->shared = piece;
  return add_piece(record, offset_units, more, payload);
}

namespace {

// Runs the coverage walk on from where it stopped.
void absorb_following(fragment_t *record) {
  fragment_data_t *at = record->cover_next;
  while (at && at->offset <= record->covered) {
    record->covered = std::max(record->covered, at->offset + at->len);
    at->absorbed = true;
    at = at->next;
  }
  record->cover_next = at;
}

// Updates the coverage for a piece just linked in front of `successor`.
void account_piece(fragment_t *record, fragment_data_t *piece, fragment_data_t *successor) {
  // A piece linked among absorbed ones lies within the covered range: the
  // absorbed piece after it starts no later than the coverage before it.
  const bool among_absorbed = successor && successor->absorbed;
  if (!among_absorbed && successor != record->cover_next) return;
  if (!among_absorbed && piece->offset > record->covered) {
    record->cover_next = piece;
    return;
  }
  piece->absorbed = true;
  record->covered = std::max(record->covered, piece->offset + piece->len);
  absorb_following(record);
}

void build_index(fragment_t *record) { record->index = piece_index_build(record->data); }

void link_after(fragment_t *record, fragment_data_t *before, fragment_data_t *piece, std::size_t prefix_end) {
  fragment_data_t *&slot = before ? before->next : record->data;
  piece->next = slot;
  slot = piece;
  record->finger = piece;
  record->finger_prefix_end = prefix_end;
  account_piece(record, piece, piece->next);
  ++record->pieces;
  if (record->index) piece_index_add(*record->index, piece);
  else if (record->pieces > piece_walk_limit) build_index(record);
}

// The pieces of an IPv6 record never overlap (an overlap makes it bad), so
// a new piece overlaps one when a piece that starts at or before it reaches
// past its offset, or the next piece starts before its end. A piece with
// the same place and bytes as one stored is its duplicate.
bool overlaps_stored(const fragment_t *record, std::uint32_t offset, bytes_t piece) {
  if (piece.empty()) return false;
  const fragment_data_t *before = nullptr;  // the last piece at or before `offset`
  std::size_t reach = 0;                    // the furthest end of those pieces
  if (record->index) {
    before = piece_index_last(*record->index, offset);
    reach = piece_index_reach(*record->index, offset);
  } else {
    const fragment_data_t *at = record->data;
    if (record->finger && record->finger->offset <= offset) {
      at = record->finger;
      reach = record->finger_prefix_end;
    }
    for (; at && at->offset <= offset; at = at->next) {
      before = at;
      reach = std::max(reach, at->offset + at->len);
    }
  }
  if (reach > offset)
    return !(before && before->offset == offset && before->len == piece.size() &&
             std::memcmp(before->data, piece.data(), piece.size()) == 0);
  const fragment_data_t *after = before ? before->next : record->data;
  while (after && after->len == 0) after = after->next;
  return after && after->offset < offset + piece.size();
}

// `offset` is a multiple of 8 and the piece ends at most at 65535.
void frag_insert_data(fragment_t *record, std::uint32_t offset, bytes_t piece) {
  // The walk: every stored piece that starts at or before the new one is
  // tested for holding it whole; the new piece goes after the last of them.
  // Pieces before the last insertion point all start at or before it, so
  // when the new piece starts there or later the walk may begin there, with
  // the largest end among the pieces it skips standing in for their tests.
  const std::size_t end = offset + piece.size();
  if (record->index) {
    // The same tests, answered by the index: whether a piece that starts at
    // or before the new one reaches its end (past its offset, when it is
    // empty), and after which piece it goes.
    const std::size_t reach = piece_index_reach(*record->index, offset);
    if (reach > offset && end <= reach) return;
    link_after(record, piece_index_last(*record->index, offset), new_piece(offset, piece), reach);
    return;
  }
  fragment_data_t *at = record->data;
  std::size_t prefix_end = 0;
  if (at == nullptr || at->offset > offset) {
    link_after(record, nullptr, new_piece(offset, piece), 0);
    return;
  }
  if (record->finger && record->finger->offset <= offset) {
    at = record->finger;
    prefix_end = record->finger_prefix_end;
    if (prefix_end > offset && end <= prefix_end) return;
  }
  for (;;) {
    if (lies_within(at, offset, piece.size())) return;
    prefix_end = std::max(prefix_end, at->offset + at->len);
    if (at->next == nullptr || at->next->offset > offset) {
      link_after(record, at, new_piece(offset, piece), prefix_end);
      return;
    }
    at = at->next;
  }
}

}  // namespace

int frag_reassemble(fragment_t *record) {
  if (record->flags & FRAG_REASSEMBLED) {
    log_warning("fragment [%p] was already reassembled", static_cast<void *>(record));
    return 0;
  }
  if (record->flags & FRAG_BAD) {
    log_warning("fragment [%p] was bad", static_cast<void *>(record));
    return 0;
  }
  if ((record->flags & (FRAG_HAVE_FIRST | FRAG_HAVE_LAST)) != (FRAG_HAVE_FIRST | FRAG_HAVE_LAST)) return 0;

  const std::size_t covered = record->covered;
  if (record->length > covered) return 0;
  if (record->length < covered) {
    // A piece reaches past the end that the last fragment set.
    make_bad(record);
    return 0;
  }

  auto *buffer = static_cast<std::uint8_t *>(std::malloc(record->length ? record->length : 1));
  if (buffer == nullptr)
    log_error(2, "failed to allocate packet data length: %d", static_cast<int>(record->length));
  std::size_t filled = 0;
  for (fragment_data_t *piece = record->data; piece;) {
    const std::size_t end = piece->offset + piece->len;
    if (piece->offset <= filled && end > filled) {
      std::memcpy(buffer + filled, piece->data + (filled - piece->offset), end - filled);
      filled = end;
    }
    fragment_data_t *next = piece->next;
    std::free(piece);
    piece = next;
  }
  record->data = nullptr;
  record->cover_next = record->finger = nullptr;
  free_index(record);
  record->packet = buffer;
  record->flags |= FRAG_REASSEMBLED;
  return 1;
}

void frag_release(fragment_t *record) {
  const auto found = frag_index.find(key_of(record));
  if (found == frag_index.end() || found->second != record) {
    log_debug(2, "failed to remove frag: %p", static_cast<void *>(record));
    return;
  }
  unlink_from_bucket(record, bucket_of(record));
  frag_index.erase(found);
  unlink_by_age(record);
  if (record->flags & FRAG_REASSEMBLED) std::free(record->packet);
  std::free(record);
}

void frag_expire(std::int64_t now_us) {
  while (oldest_record && oldest_record->created_us < now_us - FRAG_TIMEOUT_US) {
    fragment_t *record = oldest_record;
    free_pieces(record);
    frag_release(record);
  }
}

void frag_release_all() {
  for (int bucket = 0; bucket < FRAG_BUCKETS; ++bucket) {
    fragment_t *record = fragment_table[bucket];
    while (record) {
      fragment_t *next = record->next;
      if (record->data && debug_enabled(2)) print_record(bucket, record);
      free_pieces(record);
      std::free(record);
      record = next;
    }
    fragment_table[bucket] = nullptr;
  }
  frag_index.clear();
  oldest_record = newest_record = nullptr;
}
