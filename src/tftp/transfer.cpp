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
  tftp_request_t *r = index_find({t.src_addr, t.dst_addr, t.src_port});
  while (r && r->dst_port != t.dst_port) r = r->idx_next;
  if (r == nullptr) return;
  log_debug(4, "matched an existing request; %x:%d > %x:%d", r->src_addr, r->src_port, r->dst_addr, r->dst_port);
  if (r->last_block == r->last_ack + 1) flush_request(*r);
  release_request(*r);
  unlink(*r);
  delete r;
}

int match_transfer(bytes_t payload, std::uint32_t src, std::uint32_t dst, std::uint16_t sport, std::uint16_t dport,
                   tftp_msg_t &msg) {
  if (payload.size() < 4 || payload[0] != 0 || payload[1] < 3 || payload[1] > 6) return 0;
  msg.op = payload[1];
  const auto op = static_cast<tftp_op>(payload[1]);
  const bytes_t body = payload.subspan(2);
  if (request_list == nullptr) return 0;

  for (bool restart = true; restart;) {
    restart = false;
    // The only keys under which a record can pass any of the tests below.
    candidate_walk walk({dst, BROADCAST_ADDR, dport}, {dst, src, dport}, {src, dst, sport});
    while (tftp_request_t *r = walk.next()) {
      if (follows_broadcast(*r, src, dst, dport)) {
        clone_for_server(*r, src);
        restart = true;
        break;
      }
      if (r->dst_addr == src && r->src_addr == dst && r->stid == dport) {
        if (r->dtid == 0) {
          r->dtid = sport;
          build_output_name(*r);
        } else if (r->dtid != sport) {
          log_debug(2, "found matching address, but dtid wrong; src=%x, dst=%x, dport=%d, sport=%d, dtid=%d", src,
                    dst, dport, sport, r->dtid);
          continue;
        }
        if (act(direction::server_to_client, *r, op, body, msg)) return 1;
        report_invalid(direction::server_to_client, src, dst, dport, sport, *r, msg.op);
        return 0;
      }
      if (r->src_addr == src && r->dst_addr == dst && r->stid == sport) {
        const bool established = r->dtid == dport;
        if (!established && r->dtid != 0) continue;
        const direction how = established ? direction::client_to_server : direction::unestablished;
        if (act(how, *r, op, body, msg)) return 1;
        report_invalid(how, src, dst, dport, sport, *r, msg.op);
        return 0;
      }
    }
  }
  return 0;
}
