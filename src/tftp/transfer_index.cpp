#include "tftp/transfer_index.h"

#include <new>
#include <vector>

#include "run/log.h"
#include "tftp/transfer.h"

endpoint_key key_of(const tftp_request_t &r) { return {r.src_addr, r.dst_addr, r.stid}; }

namespace {

// An open-addressing table of chain heads: every datagram looks up two or
// three keys, most of which are absent, and an absent key should cost one
// cache line, not a walk of bucket nodes. A slot keeps 32 bits of its key's
// hash as a tag and finds the key itself in the chain's head record, which a
// hit reads anyway; slots stay small, so more of the table stays in cache.
struct slot_t {
  std::uint32_t tag;
  std::uint8_t used;  // 0 empty, 1 full, 2 deleted
  tftp_request_t *head;
};

constexpr std::uint8_t SLOT_EMPTY = 0;
constexpr std::uint8_t SLOT_FULL = 1;
constexpr std::uint8_t SLOT_DELETED = 2;
constexpr std::size_t INITIAL_SLOTS = 1024;

std::vector<slot_t> slots;
std::size_t full_count = 0;
std::size_t deleted_count = 0;
std::uint64_t next_seq = 0;
std::size_t broadcast_records = 0;

std::size_t hash_of(const endpoint_key &k) {
  std::uint64_t v = static_cast<std::uint64_t>(k.requester_addr) << 32 | k.server_addr;
  v ^= static_cast<std::uint64_t>(k.requester_port) << 17;
  v *= 0x9e3779b97f4a7c15ull;
  return static_cast<std::size_t>(v ^ (v >> 31));
}

std::uint32_t tag_of(std::size_t hash) { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32); }

slot_t *find_slot(const endpoint_key &key);

// The slot that holds the key, or null.
slot_t *find_slot(const endpoint_key &key, std::size_t hash) {
  if (slots.empty()) return nullptr;
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    slot_t &s = slots[i];
    if (s.used == SLOT_EMPTY) return nullptr;
    if (s.used == SLOT_FULL && s.tag == tag_of(hash) && key_of(*s.head) == key) return &s;
  }
}

slot_t *find_slot(const endpoint_key &key) { return find_slot(key, hash_of(key)); }

void place(tftp_request_t *head) {
  const std::size_t hash = hash_of(key_of(*head));
  const std::size_t mask = slots.size() - 1;
  std::size_t i = hash & mask;
  while (slots[i].used == SLOT_FULL) i = (i + 1) & mask;
  if (slots[i].used == SLOT_DELETED) --deleted_count;
  slots[i] = {tag_of(hash), SLOT_FULL, head};
  ++full_count;
}

void resize(std::size_t count) {
  // The index grows as transfers are added: running out of memory here is
  // the same fatal failure as for the record itself, not an exception that
  // aborts the process.
  std::vector<slot_t> old;
  try {
    old.assign(count, slot_t{0, SLOT_EMPTY, nullptr});
  } catch (const std::bad_alloc &) {
    log_error(2, "failed to malloc tftp_request_t");
  }
  old.swap(slots);
  full_count = deleted_count = 0;
  for (const slot_t &s : old)
    if (s.used == SLOT_FULL) place(s.head);
}

// A slot for a key that is not in the table, growing it to stay at most
// half full (deleted slots included).
void add_key(tftp_request_t *head) {
  if (slots.empty()) resize(INITIAL_SLOTS);
  if ((full_count + deleted_count + 1) * 2 > slots.size())
    resize(full_count * 4 > slots.size() ? slots.size() * 2 : slots.size());
  place(head);
}

}  // namespace

void index_insert(tftp_request_t &r) {
  r.seq = ++next_seq;
  r.idx_prev = nullptr;
  if (r.dst_addr == BROADCAST_ADDR) ++broadcast_records;
  if (slot_t *s = find_slot(key_of(r))) {
    r.idx_next = s->head;
    s->head->idx_prev = &r;
    s->head = &r;
  } else {
    r.idx_next = nullptr;
    add_key(&r);
  }
}

void index_remove(tftp_request_t &r) {
  if (r.dst_addr == BROADCAST_ADDR) --broadcast_records;
  if (r.idx_next) r.idx_next->idx_prev = r.idx_prev;
  if (r.idx_prev) {
    r.idx_prev->idx_next = r.idx_next;
  } else if (slot_t *s = find_slot(key_of(r))) {
    if (r.idx_next) {
      s->head = r.idx_next;
    } else {
      s->used = SLOT_DELETED;
      s->head = nullptr;
      --full_count;
      ++deleted_count;
    }
  }
  r.idx_next = r.idx_prev = nullptr;
}

void index_clear() {
  slots.clear();
  slots.shrink_to_fit();
  full_count = deleted_count = 0;
  broadcast_records = 0;
  next_seq = 0;
}

tftp_request_t *index_find(const endpoint_key &key) {
  const slot_t *s = find_slot(key);
  return s ? s->head : nullptr;
}

bool index_has_broadcast() { return broadcast_records != 0; }

candidate_walk::candidate_walk(const endpoint_key &a, const endpoint_key &b, const endpoint_key &c) {
  if (slots.empty()) return;
  const endpoint_key *keys[3] = {&a, &b, &c};
  std::size_t hashes[3];
  // The keys' slots are fetched from memory together rather than one after
  // the other: with many transfers in progress each is a cache miss.
  const std::size_t mask = slots.size() - 1;
  for (int i = 0; i < 3; ++i) {
    hashes[i] = hash_of(*keys[i]);
    if (i > 0 || index_has_broadcast()) __builtin_prefetch(&slots[hashes[i] & mask]);
  }
  for (int i = 0; i < 3; ++i) {
    // The broadcast key can only lead somewhere while a broadcast record
    // exists; the common case skips its lookup.
    if (i == 0 && !index_has_broadcast()) continue;
    bool repeated = false;
    for (int j = 0; j < i; ++j) repeated = repeated || *keys[j] == *keys[i];
    if (repeated) continue;
    if (const slot_t *s = find_slot(*keys[i], hashes[i])) {
      cursor_[count_++] = s->head;
      // A datagram reads the record's first two cache lines; fetch the
      // second while the first is on its way.
      __builtin_prefetch(reinterpret_cast<const char *>(s->head) + 64);
    }
  }
}

tftp_request_t *candidate_walk::next() {
  int newest = -1;
  for (int i = 0; i < count_; ++i)
    if (cursor_[i] && (newest < 0 || cursor_[i]->seq > cursor_[newest]->seq)) newest = i;
  if (newest < 0) return nullptr;
  tftp_request_t *r = cursor_[newest];
  cursor_[newest] = r->idx_next;
  return r;
}
