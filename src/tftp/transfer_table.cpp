// SPDX-License-Identifier: BSD-2-Clause
#include "tftp/transfer_table.h"

#include <new>

#include "base/capture_clock.h"
#include "base/log.h"
#include "tftp/expiry_wheel.h"
#include "tftp/record_pool.h"
#include "tftp/transfer_index.h"

static_assert(sizeof(tftp_request_t) <= POOL_RECORD_BYTES && alignof(tftp_request_t) <= POOL_RECORD_ALIGN,
              "a record fits the pool's room for one");

namespace {

// Newest first.
tftp_request_t *request_list = nullptr;
std::size_t record_count = 0;

// What the last lookups found, while nothing a lookup reads has changed
// since. A capture of one transfer at a time sends its DATA and its ACKs
// back and forth between the same two ends, and its lookups then cost a
// compare instead of two probes of the index. Every change to the indexes
// (a record added, removed or given a server port or address) or to what
// `fits` asks of a record (its texts let go) makes a new generation, and a
// remembered lookup of an older one is not used.
struct remembered_lookup {
  datagram_ends ends;
  std::uint64_t generation = 0;
  tftp_request_t *found = nullptr;
};
std::uint64_t generation = 1;
// One for each direction of a transfer, told apart by which port is lower.
remembered_lookup remembered[2];

void lookups_change() { ++generation; }

// For the status line: records that finished and are still in the table,
// and records that ever finished.
std::size_t finished_listed = 0;
std::uint64_t finished_ever = 0;

// The second from which the record is due to end, if it stays silent.
std::uint32_t due_of(const tftp_request_t &r) {
  return r.last_seen_s + (r.after_error ? ERROR_HORIZON_S : IDLE_HORIZON_S) + 1;
}

void push_front(tftp_request_t &r) {
  r.table.prev = nullptr;
  r.table.next = request_list;
  if (request_list) request_list->table.prev = &r;
  request_list = &r;
  ++record_count;
  index_insert(r);
  lookups_change();
}

void unlink(tftp_request_t &r) {
  if (r.table.prev) r.table.prev->table.next = r.table.next;
  else request_list = r.table.next;
  if (r.table.next) r.table.next->table.prev = r.table.prev;
  wheel_unlink(r);
  if (r.table.finished) --finished_listed;
  --record_count;
  index_remove(r);
  lookups_change();
}

void report_wrong_dtid(const tftp_request_t &r, const datagram_ends &d) {
  log_debug(2, "found matching address, but dtid wrong; src=%s, dst=%s, dport=%d, sport=%d, dtid=%d",
            debug_text(d.src).text, debug_text(d.dst).text, d.dport, d.sport, r.ends.dtid);
}

// The newest record of one chain that a datagram can fit, by the test its
// chain is for: in a chain of broadcast records the datagram may answer, a
// template for a clone; in the chain of the records it comes from the server
// of, one whose server port it teaches or matches; in the chain of the
// records it comes from the requester of, one whose server port it was sent
// to, or one that does not know that port yet.
enum class chain_role { broadcast, server, requester };

bool fits(chain_role role, const tftp_request_t &r, const datagram_ends &d) {
  switch (role) {
    case chain_role::broadcast:
      return is_broadcast_template(r);
    case chain_role::server:
      return r.ends.dtid == 0 || r.ends.dtid == d.sport;
    case chain_role::requester:
      return r.ends.dtid == d.dport || r.ends.dtid == 0;
  }
  return false;
}

tftp_request_t *newest_fit(chain_role role, const chain_view &chain, const endpoint_key &key,
                           const datagram_ends &d) {
  if (!chain.split) {
    tftp_request_t *r = chain.head;
    while (r && !fits(role, *r, d)) r = r->table.idx_next;
    return r;
  }
  // A split chain is not walked, whatever its length.
  switch (role) {
    case chain_role::broadcast:
      return index_find_template(key);
    case chain_role::server:
    case chain_role::requester: {
      tftp_request_t *a = index_find_dtid(key, 0);
      tftp_request_t *b = index_find_dtid(key, role == chain_role::server ? d.sport : d.dport);
      return a && (b == nullptr || a->table.seq > b->table.seq) ? a : b;
    }
  }
  return nullptr;
}

}  // namespace

tftp_request_t *table_allocate() {
  void *memory = pool_take();
  if (memory == nullptr) log_error(2, "failed to malloc tftp_request_t");
  return new (memory) tftp_request_t{};
}

namespace {

void free_record(tftp_request_t *r) {
  r->~tftp_request_t();
  pool_give(r);
}

}  // namespace

void table_insert(tftp_request_t *r) {
  push_front(*r);
  table_seen(*r, capture_latest_us);
  wheel_schedule(*r, due_of(*r));
}

void table_erase(tftp_request_t &r) {
  unlink(r);
  free_record(&r);
}

tftp_request_t *table_find_replaced(const endpoint_t &requester, const endpoint_t &server) {
  if (server.addr.is_limited_broadcast()) return nullptr;
  const endpoint_key key{requester.addr, server.addr, requester.port};
  const chain_view chain = index_chain(key);
  if (chain.split) return index_find_request(key, server.port);
  tftp_request_t *r = chain.head;
  while (r && r->dst_port != server.port) r = r->table.idx_next;
  return r;
}

namespace {

// Newest first, the first record that a datagram fits, which is the newest
// of each chain's newest fit. Only three keys can hold such a record. When
// the datagram comes from the broadcast address, the broadcast key is the
// server key and its records are tested as any other the datagram comes from
// the server of; when the server and requester keys are equal, every record
// of the key is tested as one the datagram comes from the server of. Every
// record of the server key newer than the fit was passed over for its port,
// and gets the "dtid wrong" message in turn.
__attribute__((noinline)) tftp_request_t *look_up(const datagram_ends &d) {
  const endpoint_key broadcast{d.dst, ip_address::limited_broadcast(), d.dport};
  const endpoint_key server{d.dst, d.src, d.dport};
  const endpoint_key requester{d.src, d.dst, d.sport};
  const endpoint_key *keys[3];
  chain_role roles[3];
  int count = 0;
  keys[count] = &server, roles[count++] = chain_role::server;
  if (!(requester == server)) keys[count] = &requester, roles[count++] = chain_role::requester;
  // The broadcast key can only lead somewhere while a broadcast record
  // exists; the common case skips its lookup.
  if (!d.src.is_limited_broadcast() && index_has_broadcast())
    keys[count] = &broadcast, roles[count++] = chain_role::broadcast;
  chain_view chains[3];
  index_chains(keys, count, chains);

  tftp_request_t *best = nullptr;
  for (int i = 0; i < count; ++i) {
    tftp_request_t *r = newest_fit(roles[i], chains[i], *keys[i], d);
    if (r && (best == nullptr || r->table.seq > best->table.seq)) best = r;
  }
  if (debug_enabled(2))
    for (tftp_request_t *r = chains[0].head; r && (best == nullptr || r->table.seq > best->table.seq);
         r = r->table.idx_next)
      report_wrong_dtid(*r, d);
  return best;
}

}  // namespace

tftp_request_t *find_transfer(const datagram_ends &d) {
  if (request_list == nullptr) return nullptr;
  remembered_lookup &last = remembered[d.sport < d.dport];
  // The debug lines of a lookup come from the walk itself.
  if (last.generation == generation && last.ends == d && !debug_enabled(2)) return last.found;
  last = {d, generation, look_up(d)};
  return last.found;
}

void table_set_dtid(tftp_request_t &r, std::uint16_t dtid) {
  index_set_dtid(r, dtid);
  lookups_change();
}

void table_set_server(tftp_request_t &r, const ip_address &server) {
  index_remove(r);
  r.ends.dst_addr = server;
  index_insert(r);
  lookups_change();
}

void table_released(tftp_request_t &r) {
  index_forget_template(r);
  lookups_change();
}

void table_finished(tftp_request_t &r) {
  if (r.table.finished) return;
  r.table.finished = true;
  ++finished_ever;
  ++finished_listed;
}

namespace {

void (*expiry_rites)(tftp_request_t &) = nullptr;
std::uint32_t expiry_now_s = 0;

// A record whose slot came round: due, or waiting for the slot its last
// datagram sets.
void visit_slot_record(tftp_request_t &r) {
  const std::uint32_t due = due_of(r);
  if (due > expiry_now_s) {
    wheel_schedule(r, due);
    return;
  }
  expiry_rites(r);
  table_erase(r);
}

}  // namespace

void table_after_error(tftp_request_t &r, bool after_error) {
  if (r.after_error == after_error) return;
  r.after_error = after_error;
  // Sooner than its slot: moved now. Later: its slot moves it when it comes.
  if (after_error) wheel_schedule(r, due_of(r));
}

void table_expire(std::int64_t now_us, void (*last_rites)(tftp_request_t &)) {
  if (now_us < 0) return;
  expiry_rites = last_rites;
  expiry_now_s = static_cast<std::uint32_t>(now_us / 1000000);
  wheel_sweep(expiry_now_s, visit_slot_record);
}

void for_each_transfer(const std::function<void(tftp_request_t &)> &fn) {
  for (tftp_request_t *r = request_list; r; r = r->table.next) fn(*r);
}

void free_all_transfers(const std::function<void(tftp_request_t &)> &last_rites) {
  tftp_request_t *r = request_list;
  while (r) {
    last_rites(*r);
    // Unindexed one by one, so that no index ever links a freed record.
    index_remove(*r);
    lookups_change();
    tftp_request_t *next = r->table.next;
    free_record(r);
    r = next;
  }
  request_list = nullptr;
  record_count = 0;
  finished_listed = 0;
  index_clear();
  wheel_clear();
}

tftp_request_t *newest_transfer() { return request_list; }

std::size_t transfers_tracked() { return record_count; }

std::size_t transfers_open() { return record_count - finished_listed; }

std::uint64_t transfers_finished() { return finished_ever; }
