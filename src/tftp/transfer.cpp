#include "tftp/transfer.h"

#include <cstring>
#include <new>

#include "output/output.h"
#include "run/log.h"
#include "tftp/transfer_index.h"

tftp_request_t *request_list = nullptr;

namespace {

enum class direction { server_to_client, client_to_server, unestablished };

owned_text copy_text(const char *text, const char *failure) {
  const std::size_t size = std::strlen(text) + 1;
  owned_text copy(new (std::nothrow) char[size]);
  if (!copy) log_error(3, "%s", failure);
  std::memcpy(copy.get(), text, size);
  return copy;
}

void push_front(tftp_request_t &r) {
  r.prev = nullptr;
  r.next = request_list;
  if (request_list) request_list->prev = &r;
  request_list = &r;
  index_insert(r);
}

void unlink(tftp_request_t &r) {
  if (r.prev) r.prev->next = r.next;
  else request_list = r.next;
  if (r.next) r.next->prev = r.prev;
  index_remove(r);
}

request_template_t template_of(const tftp_request_t &r) {
  return {r.op, r.filename.get(), r.mode.get(), r.src_addr, r.dst_addr, r.src_port, r.dst_port};
}

// A broadcast record is a template for each server that answers it. No clone
// is made for a datagram whose own source is the broadcast address (the clone
// would be a broadcast record again, without end), nor from a record that was
// finished and released, whose texts are gone.
bool follows_broadcast(const tftp_request_t &r, std::uint32_t src, std::uint32_t dst, std::uint16_t dport) {
  return r.dst_addr == BROADCAST_ADDR && r.src_addr == dst && r.stid == dport && src != BROADCAST_ADDR &&
         r.filename && r.mode;
}

void clone_for_server(const tftp_request_t &broadcast, std::uint32_t server) {
  tftp_request_t *clone = add_request(template_of(broadcast));
  index_remove(*clone);
  clone->dst_addr = server;
  index_insert(*clone);
}

void report_invalid(direction how, std::uint32_t src, std::uint32_t dst, std::uint16_t dport,
                    std::uint16_t sport, const tftp_request_t &r, unsigned op) {
  const char *format =
      how == direction::server_to_client
          ? "reached invalid/unhandled server->client state; src=%x, dst=%x, dport=%d, sport=%d, dtid=%d, "
            "op=%d, request->op=%d"
      : how == direction::client_to_server
          ? "reached invalid/unhandled client->server state; src=%x, dst=%x, dport=%d, sport=%d, dtid=%d, "
            "op=%d, request->op=%d"
          : "reached invalid/unhandled unestablished client->server state; src=%x, dst=%x, dport=%d, "
            "sport=%d, dtid=%d, op=%d, request->op=%d";
  log_debug(2, format, src, dst, dport, sport, r.dtid, op, r.op);
}

// The action table: which message kinds each direction may carry for a read
// or a write transfer. Returns 1 when the message was handled.
int act(direction how, tftp_request_t &r, tftp_op op, bytes_t body, tftp_msg_t &msg) {
  if (op == tftp_op::error) {
    handle_error(body, msg);
    return 1;
  }
  const bool read = r.op == static_cast<std::uint16_t>(tftp_op::rrq);
  const bool write = r.op == static_cast<std::uint16_t>(tftp_op::wrq);
  switch (how) {
    case direction::server_to_client:
      if (op == tftp_op::oack) return handle_oack(r, body, msg), 1;
      if (read && op == tftp_op::data) return handle_data(r, body, msg), 1;
      if (write && op == tftp_op::ack) return handle_ack(r, body, msg), 1;
      break;
    case direction::client_to_server:
      if (read && op == tftp_op::ack) return handle_ack(r, body, msg), 1;
      if (write && op == tftp_op::data) return handle_data(r, body, msg), 1;
      break;
    case direction::unestablished:
      break;
  }
  return 0;
}

// The datagram comes from the record's server to its requester.
bool from_server(const tftp_request_t &r, const datagram_ends &d) {
  return r.dst_addr == d.src && r.src_addr == d.dst && r.stid == d.dport;
}

void report_wrong_dtid(const tftp_request_t &r, const datagram_ends &d) {
  log_debug(2, "found matching address, but dtid wrong; src=%x, dst=%x, dport=%d, sport=%d, dtid=%d", d.src, d.dst,
            d.dport, d.sport, r.dtid);
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
      return r.filename && r.mode;
    case chain_role::server:
      return r.dtid == 0 || r.dtid == d.sport;
    case chain_role::requester:
      return r.dtid == d.dport || r.dtid == 0;
  }
  return false;
}

tftp_request_t *newest_fit(chain_role role, const chain_view &chain, const endpoint_key &key,
                           const datagram_ends &d) {
  if (!chain.split) {
    tftp_request_t *r = chain.head;
    while (r && !fits(role, *r, d)) r = r->idx_next;
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
      return a && (b == nullptr || a->seq > b->seq) ? a : b;
    }
  }
  return nullptr;
}

}  // namespace

tftp_request_t *add_request(const request_template_t &t) {
  drop_duplicate_request(t);
  auto *r = new (std::nothrow) tftp_request_t{};
  if (r == nullptr) log_error(2, "failed to malloc tftp_request_t");
  r->op = t.op;
  r->filename = copy_text(t.filename, "failed to strdup filename");
  r->mode = copy_text(t.mode, "failed to strdup mode");
  r->src_addr = t.src_addr;
  r->dst_addr = t.dst_addr;
  r->src_port = t.src_port;
  r->dst_port = t.dst_port;
  r->stid = t.src_port;
  r->blksize = DEFAULT_BLKSIZE;
  log_debug(4, "created new request [%x]; %x:%d > %x:%d",
            static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(r)), r->src_addr, r->src_port, r->dst_addr,
            r->dst_port);
  build_output_name(*r);
  push_front(*r);
  return r;
}

void drop_duplicate_request(const request_template_t &t) {
  if (t.dst_addr == BROADCAST_ADDR) return;
  const endpoint_key key{t.src_addr, t.dst_addr, t.src_port};
  const chain_view chain = index_chain(key);
  tftp_request_t *r = chain.split ? index_find_request(key, t.dst_port) : chain.head;
  while (!chain.split && r && r->dst_port != t.dst_port) r = r->idx_next;
  if (r == nullptr) return;
  log_debug(4, "matched an existing request; %x:%d > %x:%d", r->src_addr, r->src_port, r->dst_addr, r->dst_port);
  if (r->last_block == r->last_ack + 1) flush_request(*r);
  release_request(*r);
  unlink(*r);
  delete r;
}

void prefetch_transfer_slots(const datagram_ends &d) {
  if (request_list == nullptr) return;
  index_prefetch_slot({d.dst, d.src, d.dport});
  index_prefetch_slot({d.src, d.dst, d.sport});
}

void prefetch_transfer_records(const datagram_ends &d) {
  if (request_list == nullptr) return;
  index_prefetch_head({d.dst, d.src, d.dport});
  index_prefetch_head({d.src, d.dst, d.sport});
}

// Newest first, the first record that a datagram fits, which is the newest
// of each chain's newest fit. Only three keys can hold such a record. When
// the datagram comes from the broadcast address, the broadcast key is the
// server key and its records are tested as any other the datagram comes from
// the server of; when the server and requester keys are equal, every record
// of the key is tested as one the datagram comes from the server of. Every
// record of the server key newer than the fit was passed over for its port,
// and gets the "dtid wrong" message in turn.
tftp_request_t *find_transfer(const datagram_ends &d) {
  if (request_list == nullptr) return nullptr;
  const endpoint_key broadcast{d.dst, BROADCAST_ADDR, d.dport};
  const endpoint_key server{d.dst, d.src, d.dport};
  const endpoint_key requester{d.src, d.dst, d.sport};
  const endpoint_key *keys[3];
  chain_role roles[3];
  int count = 0;
  keys[count] = &server, roles[count++] = chain_role::server;
  if (!(requester == server)) keys[count] = &requester, roles[count++] = chain_role::requester;
  // The broadcast key can only lead somewhere while a broadcast record
  // exists; the common case skips its lookup.
  if (d.src != BROADCAST_ADDR && index_has_broadcast()) keys[count] = &broadcast, roles[count++] = chain_role::broadcast;
  chain_view chains[3];
  index_chains(keys, count, chains);

  tftp_request_t *best = nullptr;
  for (int i = 0; i < count; ++i) {
    tftp_request_t *r = newest_fit(roles[i], chains[i], *keys[i], d);
    if (r && (best == nullptr || r->seq > best->seq)) best = r;
  }
  if (debug_enabled(2))
    for (tftp_request_t *r = chains[0].head; r && (best == nullptr || r->seq > best->seq); r = r->idx_next)
      report_wrong_dtid(*r, d);
  return best;
}

int match_transfer(bytes_t payload, std::uint32_t src, std::uint32_t dst, std::uint16_t sport, std::uint16_t dport,
                   tftp_msg_t &msg) {
  if (payload.size() < 4 || payload[0] != 0 || payload[1] < 3 || payload[1] > 6) return 0;
  msg.op = payload[1];
  const auto op = static_cast<tftp_op>(payload[1]);
  const bytes_t body = payload.subspan(2);
  const datagram_ends ends{src, dst, sport, dport};
  for (;;) {
    tftp_request_t *r = find_transfer(ends);
    if (r == nullptr) return 0;
    if (follows_broadcast(*r, src, dst, dport)) {
      // The clone is now the newest record, and the next search finds it.
      clone_for_server(*r, src);
      continue;
    }
    if (from_server(*r, ends)) {
      if (r->dtid == 0) {
        index_set_dtid(*r, sport);
        build_output_name(*r);
      }
      if (act(direction::server_to_client, *r, op, body, msg)) return 1;
      report_invalid(direction::server_to_client, src, dst, dport, sport, *r, msg.op);
      return 0;
    }
    const direction how = r->dtid == dport ? direction::client_to_server : direction::unestablished;
    if (act(how, *r, op, body, msg)) return 1;
    report_invalid(how, src, dst, dport, sport, *r, msg.op);
    return 0;
  }
}
