// The output's side of a transfer's life: naming it, counting its blocks,
// letting go of what it owns, and the end of the run.

#include "output/block_output.h"
#include "output/output_name.h"
#include "run/log.h"
#include "tftp/transfer.h"
#include "tftp/transfer_table.h"

void build_output_name(tftp_request_t &r) {
  // A transfer released before its server's port was learnt has no file name
  // any more; nothing is ever written under its name, so the endpoint part
  // alone will do.
  const std::uint16_t server_port = r.ends.dtid != 0 ? r.ends.dtid : r.dst_port;
  r.out.name.reset();
  r.out.name = build_output_name({r.ends.src_addr, r.src_port}, {r.ends.dst_addr, server_port}, r.filename.get());
}

void flush_request(tftp_request_t &r) {
  if (!r.out.pending || r.state == TFTP_REQ_DONE) return;
  if (!output_count(r.out, {r.blocks.last_block, r.blocks.last_ack})) {
    r.state = TFTP_REQ_DONE;
    release_request(r);
    return;
  }
  if (output_has_file(r.out)) r.state = TFTP_REQ_OPEN;
}

void release_request(tftp_request_t &r) {
  table_released(r);
  output_release(r.out);
  r.filename.reset();
  r.mode.reset();
}

void flush_all_requests() {
  free_all_transfers([](tftp_request_t &r) {
    if (r.state == TFTP_REQ_OPEN) {
      log_warning("possible partial content for file: %s", r.out.name.get());
      if (r.blocks.last_block == r.blocks.last_ack + 1) flush_request(r);
    }
    release_request(r);
  });
}

void cut_all_outputs() {
  for_each_transfer([](tftp_request_t &r) { output_release(r.out); });
}
