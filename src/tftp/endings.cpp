// SPDX-License-Identifier: BSD-2-Clause
// How transfers end when nothing in the capture ends them: at the end of
// the run, after a silence, or on a fatal exit.

#include "tftp/endings.h"

#include "base/log.h"
#include "base/wire_text.h"
#include "output/block_output.h"
#include "tftp/acknowledge.h"
#include "tftp/lifecycle.h"
#include "tftp/transfer.h"
#include "tftp/transfer_table.h"

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
