// SPDX-License-Identifier: BSD-2-Clause
// A transfer's life: naming its output, what only an answered request
// needs, and letting go of what it owns.

#include "tftp/lifecycle.h"

#include <new>

#include "base/log.h"
#include "output/block_output.h"
#include "output/output_name.h"
#include "tftp/story.h"
#include "tftp/transfer.h"
#include "tftp/transfer_table.h"

block_extras_t &extras_of(tftp_request_t &r) {
  if (!r.extras) {
    r.extras.reset(new (std::nothrow) block_extras_t);
    if (!r.extras) log_error(3, "failed to allocate request->data");
  }
  return *r.extras;
}

void build_output_name(tftp_request_t &r) {
  // A transfer released before its server's port was learnt has no file name
  // any more; nothing is ever written under its name, so the endpoint part
  // alone will do.
  const std::uint16_t server_port = r.ends.dtid != 0 ? r.ends.dtid : r.dst_port;
  r.out.name.reset();
  r.out.name = build_output_name({r.ends.src_addr, r.src_port}, {r.ends.dst_addr, server_port}, r.filename.get());
}

void set_up_output(tftp_request_t &r) {
  build_output_name(r);
  story_hash(r);
}

void release_request(tftp_request_t &r) {
  // Written out before the report tells how it ended.
  if (!output_finish_writes(r.out)) story_failed(r, r.out.failure);
  tell_story(r);
  table_released(r);
  output_release(r.out);
  r.filename.reset();
  r.mode = nullptr;
  r.blocks.pending = false;
  if (r.extras) r.extras->window.clear();
}
