#include <cstdlib>

#include "output/block_output.h"
#include "run/log.h"
#include "tftp/block_number.h"
#include "tftp/options.h"
#include "tftp/transfer.h"

namespace {

const char *const EMPTY_TEXT = "";

// atoi as the C library reads it, without its undefined overflow: glibc's
// atoi is strtol cut to int.
int c_atoi(const char *s) { return static_cast<int>(std::strtol(s, nullptr, 10)); }

// The next block the transfer expects, in its own 32-bit count.
std::uint32_t expected_block(const tftp_request_t &r) { return r.blocks.last_ack + 1; }

}  // namespace

void handle_data(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  wire_cursor c(body);
  const std::uint16_t wire = c.be16();
  const bytes_t payload = c.rest();
  const auto length = static_cast<std::uint32_t>(payload.size());
  msg.data_block = wire;
  msg.datalen = length;
  if (r.state == TFTP_REQ_DONE) return;
  if (r.out.pending) {
    log_debug(4, "data already pending on tftp request");
    if (r.out.datalen < length) {
      log_debug(3, "later request claims more data; request->datalen=%d, datalen=%d", r.out.datalen, length);
      return;
    }
  }
  block_state_t &b = r.blocks;
  if (wraps_to_one(wire, expected_block(r), b.block_skew, b.last_block)) ++b.block_skew;
  const std::uint32_t block = block_from_wire(wire, expected_block(r), b.block_skew);
  output_hold(r.out, payload);
  r.out.datalen = length;
  b.last_block = block;
  if (length < b.blksize) {
    log_debug(5, "received last block; length: %d, block: %d", length, block);
    // Written before the transfer is marked done, or nothing would be.
    flush_request(r);
    r.state = TFTP_REQ_DONE;
    release_request(r);
  }
}

void handle_ack(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  const std::uint16_t wire = wire_cursor(body).be16();
  msg.ack_block = wire;
  block_state_t &b = r.blocks;
  const std::uint32_t block = block_from_wire(wire, expected_block(r), b.block_skew);
  if (block == 0) return;
  const char *in_sequence;
  const char *spurious;
  switch (r.op) {
    case tftp_op::rrq:
      in_sequence = "ack for read; block=%d, last_block=%d, last_ack=%d";
      spurious = "spurious ack for read; block=%d, last_block=%d, last_ack=%d";
      break;
    case tftp_op::wrq:
      in_sequence = "ack for write; block=%d, last_block=%d, last_ack=%d";
      spurious = "spurious ack for write; block=%d, last_block=%d, last_ack=%d";
      break;
    default:
      log_error(3, "corrupted request->op: %d", static_cast<int>(r.op));
      return;
  }
  if (block == b.last_ack + 1 && block == b.last_block) {
    log_debug(5, in_sequence, block, b.last_block, b.last_ack);
    flush_request(r);
    b.last_ack = block;
  } else {
    log_debug(4, spurious, block, b.last_block, b.last_ack);
  }
}

// Option names and values pair up in order; a string cut off by the end of
// the body is ignored.
void handle_oack(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  msg.blksize = msg.timeout = msg.tsize = EMPTY_TEXT;
  wire_cursor c(body);
  while (const auto name = c.cstring()) {
    const auto value = c.cstring();
    if (!value) break;
    const char *text = value->data();
    switch (find_option(*name)) {
      case tftp_option::blksize: {
        msg.blksize = text;
        const auto size = static_cast<std::uint32_t>(c_atoi(text));
        r.blocks.blksize = size == 0 ? DEFAULT_BLKSIZE : size;
        break;
      }
      case tftp_option::timeout:
        msg.timeout = text;
        r.options.timeout = static_cast<std::uint32_t>(c_atoi(text));
        break;
      case tftp_option::tsize:
        msg.tsize = text;
        r.options.tsize = c_atoi(text);
        break;
      case tftp_option::other:
        break;
    }
  }
}

void handle_error(bytes_t body, tftp_msg_t &msg) {
  wire_cursor c(body);
  msg.error_code = c.be16();
  // The text ends at its NUL, or at the end of the datagram when it has none.
  const bytes_t rest = c.rest();
  const auto text = c.cstring();
  msg.error_msg = text ? *text : std::string_view(reinterpret_cast<const char *>(rest.data()), rest.size());
}
