// SPDX-License-Identifier: BSD-2-Clause
#include "base/capture_clock.h"
#include "base/log.h"
#include "tftp/blocks.h"
#include "tftp/lifecycle.h"
#include "tftp/match.h"
#include "tftp/new_transfer.h"
#include "tftp/story.h"
#include "tftp/transfer.h"
#include "tftp/transfer_table.h"
#include "report/hints.h"

namespace {

enum class direction { server_to_client, client_to_server, unestablished };

request_template_t template_of(const tftp_request_t &r) {
  const bytes_t options = r.story ? bytes_t{r.story->requested} : bytes_t{};
  return {r.op, r.filename.get(), r.mode, {r.ends.src_addr, r.src_port}, {r.ends.dst_addr, r.dst_port}, options};
}

// A broadcast record is a template for each server that answers it. No clone
// is made for a datagram whose own source is the broadcast address (the clone
// would be a broadcast record again, without end), nor from a record that was
// finished and released, whose texts are gone.
bool follows_broadcast(const tftp_request_t &r, const datagram_ends &d) {
  return is_broadcast_template(r) && r.ends.src_addr == d.dst && r.ends.stid == d.dport &&
         !d.src.is_limited_broadcast();
}

void clone_for_server(tftp_request_t &broadcast, const ip_address &server) {
  if (broadcast.story) broadcast.story->cloned = true;
  table_set_server(*add_request(template_of(broadcast)), server);
}

void report_invalid(direction how, const datagram_ends &d, const tftp_request_t &r, tftp_op op) {
  const char *format =
      how == direction::server_to_client
          ? "reached invalid/unhandled server->client state; src=%s, dst=%s, dport=%d, sport=%d, dtid=%d, "
            "op=%d, request->op=%d"
      : how == direction::client_to_server
          ? "reached invalid/unhandled client->server state; src=%s, dst=%s, dport=%d, sport=%d, dtid=%d, "
            "op=%d, request->op=%d"
          : "reached invalid/unhandled unestablished client->server state; src=%s, dst=%s, dport=%d, "
            "sport=%d, dtid=%d, op=%d, request->op=%d";
  log_debug(2, format, debug_text(d.src).text, debug_text(d.dst).text, d.dport, d.sport, r.ends.dtid,
            static_cast<int>(op), static_cast<int>(r.op));
}

// An ERROR ends a transfer not yet over if nothing follows it soon; what
// its warning names is kept until then.
void note_error(tftp_request_t &r, const tftp_msg_t &msg) {
  if (r.state == TFTP_REQ_DONE) return;
  // Ended with nothing written: finished, as far as the counts go.
  if (r.state != TFTP_REQ_OPEN) table_finished(r);
  block_extras_t &x = extras_of(r);
  x.error_seen = true;
  x.error_code = msg.error_code;
  x.error_text.assign(msg.error_msg.substr(0, MAX_ERROR_TEXT));
  table_after_error(r, true);
}

// The action table: which message kinds each direction may carry for a read
// or a write transfer. Returns 1 when the message was handled.
int act(direction how, tftp_request_t &r, tftp_op op, bytes_t body, tftp_msg_t &msg) {
  if (op == tftp_op::error) {
    handle_error(body, msg);
    story_error(r, msg);
    note_error(r, msg);
    return 1;
  }
  const bool read = r.op == tftp_op::rrq;
  const bool write = r.op == tftp_op::wrq;
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
  return r.ends.dst_addr == d.src && r.ends.src_addr == d.dst && r.ends.stid == d.dport;
}

// Only DATA, ACK, ERROR and OACK can belong to a transfer.
bool transfer_message(tftp_op op) {
  return op == tftp_op::data || op == tftp_op::ack || op == tftp_op::error || op == tftp_op::oack;
}

// DATA or ACK that no transfer owns: most often the capture began after the
// request, and the summary says so.
void count_orphan(tftp_op op, bytes_t payload) {
  if ((op == tftp_op::data && payload.size() <= 4 + 65464) || (op == tftp_op::ack && payload.size() == 4))
    hint_count(hint::orphan_datagram);
}

}  // namespace

int match_transfer(bytes_t payload, const datagram_ends &d, tftp_msg_t &msg) {
  wire_cursor c(payload);
  const auto op = static_cast<tftp_op>(c.be16());
  if (payload.size() < 4 || !transfer_message(op)) return 0;
  msg.op = op;
  const bytes_t body = c.rest();
  // Any other message after an ERROR: the transfer goes on.
  const bool error = op == tftp_op::error;
  for (;;) {
    tftp_request_t *r = find_transfer(d);
    if (r == nullptr) {
      count_orphan(op, payload);
      return 0;
    }
    table_seen(*r, capture_latest_us);
    if (follows_broadcast(*r, d)) {
      // The clone is now the newest record, and the next search finds it.
      clone_for_server(*r, d.src);
      continue;
    }
    if (!error) table_after_error(*r, false);
    story_answered(*r);
    if (from_server(*r, d)) {
      // The name takes the server's port once it is learnt.
      const bool learns_port = r->ends.dtid == 0;
      if (learns_port) table_set_dtid(*r, d.sport);
      if (awaits_name(*r)) set_up_output(*r);
      else if (learns_port) build_output_name(*r);
      story_touch(*r);
      if (act(direction::server_to_client, *r, op, body, msg)) return 1;
      report_invalid(direction::server_to_client, d, *r, op);
      return 0;
    }
    if (awaits_name(*r)) set_up_output(*r);
    const direction how = r->ends.dtid == d.dport ? direction::client_to_server : direction::unestablished;
    story_touch(*r);
    if (act(how, *r, op, body, msg)) return 1;
    report_invalid(how, d, *r, op);
    return 0;
  }
}
