// SPDX-License-Identifier: BSD-2-Clause
#include <cstring>
#include <new>

#include "base/log.h"
#include "tftp/acknowledge.h"
#include "tftp/lifecycle.h"
#include "tftp/new_transfer.h"
#include "tftp/story.h"
#include "tftp/transfer.h"
#include "tftp/transfer_table.h"

namespace {

// The name and the mode, one after the other, each with its NUL.
owned_text copy_texts(const char *filename, const char *mode) {
  const std::size_t name_size = std::strlen(filename) + 1;
  const std::size_t mode_size = std::strlen(mode) + 1;
  owned_text copy(new (std::nothrow) char[name_size + mode_size]);
  if (!copy) log_error(3, "failed to strdup filename");
  std::memcpy(copy.get(), filename, name_size);
  std::memcpy(copy.get() + name_size, mode, mode_size);
  return copy;
}

// Ends the transfer that a new request replaces. When the request only
// repeats one that nothing answered, the story of that one is handed back,
// for the new record to carry on.
std::unique_ptr<transfer_story_t> drop_duplicate_request(const request_template_t &t);

}  // namespace

int recognise_request(bytes_t payload, const datagram_ends &ends, tftp_msg_t &msg) {
  // Most datagrams are no request: their opcode tells, before anything is
  // set up for one.
  const auto op = static_cast<tftp_op>(wire_cursor(payload).be16());
  if (op != tftp_op::rrq && op != tftp_op::wrq) return 0;
  request_template_t request;
  if (!parse_request(payload, request, msg)) return 0;
  msg.op = request.op;
  msg.filename = request.filename;
  msg.mode = request.mode;
  request.requester = {ends.src, ends.sport};
  request.server = {ends.dst, ends.dport};
  add_request(request);
  return 1;
}

tftp_request_t *add_request(const request_template_t &t) {
  std::unique_ptr<transfer_story_t> earlier = drop_duplicate_request(t);
  tftp_request_t *r = table_allocate();
  r->op = t.op;
  r->filename = copy_texts(t.filename, t.mode);
  r->mode = r->filename.get() + std::strlen(t.filename) + 1;
  r->ends.src_addr = t.requester.addr;
  r->ends.dst_addr = t.server.addr;
  r->src_port = t.requester.port;
  r->dst_port = t.server.port;
  r->ends.stid = t.requester.port;
  r->blocks.blksize = DEFAULT_BLKSIZE;
  r->blocks.windowsize = 1;
  log_debug(4, "created new request [%x]; %s:%d > %s:%d", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(r)),
            debug_text(r->ends.src_addr).text, r->src_port, debug_text(r->ends.dst_addr).text, r->dst_port);
  // The output's name waits for the transfer's first datagram (match.cpp).
  story_begin(*r, t, std::move(earlier));
  table_insert(r);
  return r;
}

namespace {

std::unique_ptr<transfer_story_t> drop_duplicate_request(const request_template_t &t) {
  tftp_request_t *r = table_find_replaced(t.requester, t.server);
  if (r == nullptr) return nullptr;
  log_debug(4, "matched an existing request; %s:%d > %s:%d", debug_text(r->ends.src_addr).text, r->src_port,
            debug_text(r->ends.dst_addr).text, r->dst_port);
  // A copy of a request nothing answered is the same transfer asked again:
  // its story goes on in the new record, and this one tells nothing.
  const bool repeats = story_repeats(*r, t);
  if (repeats) r->story->repeated = true;
  count_what_follows(*r);
  release_request(*r);
  std::unique_ptr<transfer_story_t> earlier;
  if (repeats) {
    earlier = std::move(r->story);
    earlier->repeated = false;
  }
  table_erase(*r);
  return earlier;
}

}  // namespace
