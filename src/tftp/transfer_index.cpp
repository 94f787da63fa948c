// SPDX-License-Identifier: BSD-2-Clause
#include "tftp/transfer_index.h"

#include <new>
#include <vector>

#include "base/log.h"
#include "tftp/transfer.h"
#include "tftp/transfer_table.h"

namespace {

endpoint_key key_of(const tftp_request_t &r) { return {r.ends.src_addr, r.ends.dst_addr, r.ends.stid}; }

}  // namespace

std::size_t chain_walk_limit = 8;

namespace {

// An endpoint key with one port more, for the indexes that split a chain.
struct port_key {
  endpoint_key endpoints;
  std::uint16_t port;
  bool operator==(const port_key &) const = default;
};

std::size_t mix(std::uint64_t v) {
  v *= 0x9e3779b97f4a7c15ull;
  return static_cast<std::size_t>(v ^ (v >> 31));
}

std::size_t hash_of(const endpoint_key &k) {
  return mix((k.requester_addr.hash_bits() << 32 | k.server_addr.hash_bits()) ^
             static_cast<std::uint64_t>(k.requester_port) << 17);
}

std::size_t hash_of(const port_key &k) { return mix(hash_of(k.endpoints) ^ (static_cast<std::uint64_t>(k.port) << 1)); }

// Which records each index holds, under which key, through which links.
struct endpoints_chain {
  using key_type = endpoint_key;
  static key_type key(const tftp_request_t &r) { return key_of(r); }
  static tftp_request_t *&next(tftp_request_t &r) { return r.table.idx_next; }
  static tftp_request_t *&prev(tftp_request_t &r) { return r.table.idx_prev; }
};

struct dtid_chain {
  using key_type = port_key;
  static key_type key(const tftp_request_t &r) { return {key_of(r), r.ends.dtid}; }
  static tftp_request_t *&next(tftp_request_t &r) { return r.table.split->by_dtid.next; }
  static tftp_request_t *&prev(tftp_request_t &r) { return r.table.split->by_dtid.prev; }
};

struct request_chain {
  using key_type = port_key;
  static key_type key(const tftp_request_t &r) {
    return {key_of(r), r.ends.dst_addr.is_limited_broadcast() ? std::uint16_t{0} : r.dst_port};
  }
  static bool holds(const tftp_request_t &r) { return !r.ends.dst_addr.is_limited_broadcast() || is_broadcast_template(r); }
  static tftp_request_t *&next(tftp_request_t &r) { return r.table.split->by_request.next; }
  static tftp_request_t *&prev(tftp_request_t &r) { return r.table.split->by_request.prev; }
};

// An open-addressing table of chain heads: every datagram looks up two or
// three keys, most of which are absent, and an absent key should cost one
// cache line, not a walk of bucket nodes. A slot keeps 32 bits of its key's
// hash as a tag and finds the key itself in the chain's head record, which a
// hit reads anyway; slots stay small, so more of the table stays in cache.
//
// A key that goes leaves no mark behind: the keys after it in its run move
// back (linear probing allows it), so a table of keys made and forgotten in
// turn stays as full as its keys make it, at most half, and never needs a
// rebuild at the same size.
struct slot_t {
  std::uint32_t tag;
  std::uint32_t used : 1;     // 0 empty, 1 full
  std::uint32_t length : 31;  // records in the chain
  tftp_request_t *head;
};

constexpr std::uint32_t SLOT_EMPTY = 0;
constexpr std::uint32_t SLOT_FULL = 1;
constexpr std::size_t INITIAL_SLOTS = 1024;

std::uint32_t tag_of(std::size_t hash) { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32); }

template <class Chain>
class chain_table {
 public:
  using key_type = typename Chain::key_type;

  // The slot that holds the key, or null.
  slot_t *find(const key_type &key, std::size_t hash) {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      slot_t &s = slots_[i];
      if (s.used == SLOT_EMPTY) return nullptr;
      if (s.tag != tag_of(hash)) continue;
      // A datagram goes on to read the record's second and third cache
      // lines: fetch them while the first is on its way for the key.
      __builtin_prefetch(reinterpret_cast<const char *>(s.head) + 64);
      __builtin_prefetch(reinterpret_cast<const char *>(s.head) + 128);
      if (Chain::key(*s.head) == key) return &s;
    }
  }

  slot_t *find(const key_type &key) { return find(key, hash_of(key)); }

  tftp_request_t *head(const key_type &key) {
    const slot_t *s = find(key);
    return s ? s->head : nullptr;
  }

  void prefetch(std::size_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  // Links the record in by its `seq`: at the head when it is the newest.
  // Returns the chain's length with it.
  std::size_t insert(tftp_request_t &r) {
    Chain::next(r) = Chain::prev(r) = nullptr;
    slot_t *s = find(Chain::key(r));
    if (s == nullptr) {
      add_key(&r);
      return 1;
    }
    ++s->length;
    if (s->head->table.seq < r.table.seq) {
      Chain::next(r) = s->head;
      Chain::prev(*s->head) = &r;
      s->head = &r;
      return s->length;
    }
    tftp_request_t *p = s->head;
    while (Chain::next(*p) && Chain::next(*p)->table.seq > r.table.seq) p = Chain::next(*p);
    Chain::next(r) = Chain::next(*p);
    Chain::prev(r) = p;
    if (Chain::next(*p)) Chain::prev(*Chain::next(*p)) = &r;
    Chain::next(*p) = &r;
    return s->length;
  }

  void remove(tftp_request_t &r) {
    slot_t *s = find(Chain::key(r));
    if (Chain::next(r)) Chain::prev(*Chain::next(r)) = Chain::prev(r);
    if (Chain::prev(r)) Chain::next(*Chain::prev(r)) = Chain::next(r);
    if (s != nullptr) {
      --s->length;
      if (s->head == &r) s->head = Chain::next(r);
      if (s->head == nullptr) erase(static_cast<std::size_t>(s - slots_.data()));
    }
    Chain::next(r) = Chain::prev(r) = nullptr;
  }

  void clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    full_ = 0;
  }

 private:
  std::size_t home_of(const slot_t &s) const { return hash_of(Chain::key(*s.head)) & (slots_.size() - 1); }

  void place(tftp_request_t *head, std::uint32_t length) {
    const std::size_t hash = hash_of(Chain::key(*head));
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].used == SLOT_FULL) i = (i + 1) & mask;
    slots_[i] = {tag_of(hash), SLOT_FULL, length, head};
    ++full_;
  }

  // Empties slot `hole`, moving back each later key of its run that the
  // hole would otherwise cut off from its home slot. A removal reads the
  // head records of the run it is in: short, the table being at most half
  // full.
  void erase(std::size_t hole) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = (hole + 1) & mask; slots_[i].used == SLOT_FULL; i = (i + 1) & mask) {
      const std::size_t home = home_of(slots_[i]);
      // The key may fill the hole when its home is not in (hole, i], the
      // run wrapping round the table's end included.
      const bool home_after_hole = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
      if (home_after_hole) continue;
      slots_[hole] = slots_[i];
      hole = i;
    }
    slots_[hole] = slot_t{0, SLOT_EMPTY, 0, nullptr};
    --full_;
  }

  void resize(std::size_t count) {
    // The index grows as transfers are added: running out of memory here is
    // the same fatal failure as for the record itself, not an exception that
    // aborts the process.
    std::vector<slot_t> old;
    try {
      old.assign(count, slot_t{0, SLOT_EMPTY, 0, nullptr});
    } catch (const std::bad_alloc &) {
      log_error(2, "failed to malloc tftp_request_t");
    }
    old.swap(slots_);
    full_ = 0;
    for (const slot_t &s : old)
      if (s.used == SLOT_FULL) place(s.head, s.length);
  }

  // A slot for a key that is not in the table, growing it to stay at most
  // half full.
  void add_key(tftp_request_t *head) {
    if (slots_.empty()) resize(INITIAL_SLOTS);
    if ((full_ + 1) * 2 > slots_.size()) resize(slots_.size() * 2);
    place(head, 1);
  }

  std::vector<slot_t> slots_;
  std::size_t full_ = 0;
};

chain_table<endpoints_chain> by_endpoints;
chain_table<dtid_chain> by_dtid;
chain_table<request_chain> by_request;
std::uint64_t next_seq = 0;
std::size_t broadcast_records = 0;

bool is_split(std::size_t length) { return length > chain_walk_limit; }

chain_view view_of(const slot_t *s) { return s ? chain_view{s->head, is_split(s->length)} : chain_view{}; }

bool in_split_chain(const tftp_request_t &r) {
  const slot_t *s = by_endpoints.find(key_of(r));
  return s != nullptr && is_split(s->length);
}

void add_to_split(tftp_request_t &r) {
  r.table.split.reset(new (std::nothrow) split_links);
  if (!r.table.split) log_error(2, "failed to malloc tftp_request_t");
  by_dtid.insert(r);
  if (request_chain::holds(r)) by_request.insert(r);
}

void remove_from_split(tftp_request_t &r) {
  by_dtid.remove(r);
  if (request_chain::holds(r)) by_request.remove(r);
  r.table.split.reset();
}

// Oldest first, so that each record goes in at the head of its split chains.
void split_chain(tftp_request_t *head) {
  tftp_request_t *r = head;
  while (r->table.idx_next) r = r->table.idx_next;
  for (; r; r = r->table.idx_prev) add_to_split(*r);
}

void unsplit_chain(tftp_request_t *head) {
  for (tftp_request_t *r = head; r; r = r->table.idx_next) remove_from_split(*r);
}

}  // namespace

void index_insert(tftp_request_t &r) {
  r.table.seq = ++next_seq;
  if (r.ends.dst_addr.is_limited_broadcast()) ++broadcast_records;
  const std::size_t length = by_endpoints.insert(r);
  if (!is_split(length)) return;
  if (is_split(length - 1)) add_to_split(r);
  else split_chain(&r);
}

void index_remove(tftp_request_t &r) {
  if (r.ends.dst_addr.is_limited_broadcast()) --broadcast_records;
  const slot_t *s = by_endpoints.find(key_of(r));
  const std::size_t length = s ? s->length : 0;
  if (!is_split(length)) return by_endpoints.remove(r);
  remove_from_split(r);
  by_endpoints.remove(r);
  if (!is_split(length - 1)) unsplit_chain(index_chain(key_of(r)).head);
}

void index_clear() {
  by_endpoints.clear();
  by_dtid.clear();
  by_request.clear();
  broadcast_records = 0;
  next_seq = 0;
}

void index_set_dtid(tftp_request_t &r, std::uint16_t dtid) {
  if (!in_split_chain(r)) {
    r.ends.dtid = dtid;
    return;
  }
  by_dtid.remove(r);
  r.ends.dtid = dtid;
  by_dtid.insert(r);
}

void index_forget_template(tftp_request_t &r) {
  if (is_broadcast_template(r) && in_split_chain(r)) by_request.remove(r);
}

chain_view index_chain(const endpoint_key &key) { return view_of(by_endpoints.find(key)); }

void index_chains(const endpoint_key *const *keys, int count, chain_view *views) {
  std::size_t hashes[4];
  if (count > 4) count = 4;
  for (int i = 0; i < count; ++i) {
    hashes[i] = hash_of(*keys[i]);
    by_endpoints.prefetch(hashes[i]);
  }
  for (int i = 0; i < count; ++i) {
    views[i] = view_of(by_endpoints.find(*keys[i], hashes[i]));
  }
}

tftp_request_t *index_find_dtid(const endpoint_key &key, std::uint16_t dtid) { return by_dtid.head({key, dtid}); }

tftp_request_t *index_find_request(const endpoint_key &key, std::uint16_t dst_port) {
  return key.server_addr.is_limited_broadcast() ? nullptr : by_request.head({key, dst_port});
}

tftp_request_t *index_find_template(const endpoint_key &key) {
  return key.server_addr.is_limited_broadcast() ? by_request.head({key, 0}) : nullptr;
}

bool index_has_broadcast() { return broadcast_records != 0; }
