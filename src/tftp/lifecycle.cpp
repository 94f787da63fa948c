// SPDX-License-Identifier: BSD-2-Clause
// A transfer's life: naming its output, letting go of what it owns,
// forgetting it when idle, and the end of the run.

#include <cerrno>
#include <new>

#include "base/capture_clock.h"
#include "base/wire_text.h"
#include "output/block_output.h"
#include "output/output_name.h"
#include "base/log.h"
#include "tftp/acknowledge.h"
#include "tftp/lifecycle.h"
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

namespace {

// What the end of the run does for each transfer, and forgetting one that
// was idle for long does too. A transfer that saw an ERROR and never
// finished was aborted, even where a DATA or ACK already on its way came
// after the ERROR: the capture's end is not what cut it short.
void last_rites(tftp_request_t &r) {
  if (r.state == TFTP_REQ_OPEN) {
    if (r.after_error || (r.extras && r.extras->error_seen))
      log_warning("transfer ended by ERROR %u \"%s\": %s", static_cast<unsigned>(r.extras->error_code),
                  wire_text(r.extras->error_text).c_str(), r.out.name.get());
    else
      log_warning("possible partial content for file: %s", r.out.name.get());
    count_what_follows(r);
    report_holes(r);
  }
  release_request(r);
}

}  // namespace

void flush_all_requests() { free_all_transfers(last_rites); }

void expire_transfers(std::int64_t now_us) { table_expire(now_us, last_rites); }

void close_all_outputs() {
  for_each_transfer([](tftp_request_t &r) { output_release(r.out); });
}
