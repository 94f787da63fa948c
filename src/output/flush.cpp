#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output/output.h"
#include "run/log.h"
#include "tftp/transfer.h"
#include "tftp/transfer_index.h"

namespace {

void print_block(const tftp_request_t &r) {
  std::printf("%s: ", r.name.get());
  std::fwrite(r.data.get(), 1, r.datalen, stdout);
  std::putchar('\n');
  std::fflush(stdout);
}

void abandon(tftp_request_t &r) {
  log_warning("unable to open file [%s]: %s", r.name.get(), std::strerror(errno));
  r.state = TFTP_REQ_DONE;
  release_request(r);
}

}  // namespace

void flush_request(tftp_request_t &r) {
  if (!r.pending || r.state == TFTP_REQ_DONE) return;
  const bytes_t block{r.data.get(), r.datalen};
  if (print_console) {
    print_block(r);
  } else {
    if (r.state != TFTP_REQ_OPEN) {
      log_debug(5, "opening file: %s, mode: %s", r.name.get(), "wb");
      if (!output_create(r.file, r.name.get(), overwrite != 0)) return abandon(r);
      r.state = TFTP_REQ_OPEN;
    }
    log_debug(6, "writing file: %s, datalen: %d, last_block: %d, last_ack: %d", r.name.get(), r.datalen,
              r.last_block, r.last_ack);
    if (r.pending_in_file) output_commit(r.file, r.datalen);
    else if (!output_write(r.file, block)) return abandon(r);
  }
  // The buffer is kept for the next block; only the block ends here.
  r.pending = false;
}

void release_request(tftp_request_t &r) {
  index_forget_template(r);
  output_close(r.file);
  r.filename.reset();
  r.mode.reset();
  r.name.reset();
  r.data.reset();
  r.data_capacity = 0;
  r.pending = false;
}

void flush_all_requests() {
  tftp_request_t *r = request_list;
  while (r) {
    if (r->state == TFTP_REQ_OPEN) {
      log_warning("possible partial content for file: %s", r->name.get());
      if (r->last_block == r->last_ack + 1) flush_request(*r);
    }
    release_request(*r);
    // Unindexed one by one, so that no index ever links a freed record.
    index_remove(*r);
    tftp_request_t *next = r->next;
    delete r;
    r = next;
  }
  request_list = nullptr;
  index_clear();
}
