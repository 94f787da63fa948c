#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

#include "output/output.h"
#include "run/log.h"
#include "run/options.h"
#include "tftp/block_number.h"
#include "tftp/transfer.h"

namespace {

const char *const EMPTY_TEXT = "";

// atoi as the C library reads it, without its undefined overflow: glibc's
// atoi is strtol cut to int.
int c_atoi(const char *s) { return static_cast<int>(std::strtol(s, nullptr, 10)); }

// The next block the transfer expects, in its own 32-bit count.
std::uint32_t expected_block(const tftp_request_t &r) { return r.last_ack + 1; }

// Stores a payload as the pending block. Once the output file exists the
// block goes there at once, at the place it takes when acknowledged, and
// the acknowledgement only counts it; otherwise it is kept in memory, over
// the start of the current buffer when one is pending, in a buffer of its
// own otherwise.
void keep_block(tftp_request_t &r, bytes_t payload) {
  if (payload.empty()) return;
  if (!print_console && r.state == TFTP_REQ_OPEN && output_write_ahead(r.file, payload)) {
    r.pending = true;
    r.pending_in_file = true;
    // The buffer of the first block is not needed again unless the file
    // loses its descriptor: thousands of transfers in progress should not
    // each hold one.
    r.data.reset();
    r.data_capacity = 0;
    return;
  }
  // A block pending in memory is never shorter than the one that replaces
  // it, so only a block written ahead, or none, can call for a new buffer.
  if (payload.size() > r.data_capacity) {
    r.data.reset(new (std::nothrow) std::uint8_t[payload.size()]);
    if (!r.data) log_error(3, "failed to allocate request->data");
    r.data_capacity = static_cast<std::uint32_t>(payload.size());
  }
  std::memcpy(r.data.get(), payload.data(), payload.size());
  r.pending = true;
  r.pending_in_file = false;
}

}  // namespace

void handle_data(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  const std::uint16_t wire = load_be16(body, 0);
  const bytes_t payload = body.subspan(2);
  const auto length = static_cast<std::uint32_t>(payload.size());
  msg.data_block = wire;
  msg.datalen = length;
  if (r.state == TFTP_REQ_DONE) return;
  if (r.pending) {
    log_debug(4, "data already pending on tftp request");
    if (r.datalen < length) {
      log_debug(3, "later request claims more data; request->datalen=%d, datalen=%d", r.datalen, length);
      return;
    }
  }
  if (wraps_to_one(wire, expected_block(r), r.block_skew, r.last_block)) ++r.block_skew;
  const std::uint32_t block = block_from_wire(wire, expected_block(r), r.block_skew);
  keep_block(r, payload);
  r.datalen = length;
  r.last_block = block;
  if (length < r.blksize) {
    log_debug(5, "received last block; length: %d, block: %d", length, block);
    // Written before the transfer is marked done, or nothing would be.
    flush_request(r);
    r.state = TFTP_REQ_DONE;
    release_request(r);
  }
}

void handle_ack(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  const std::uint16_t wire = load_be16(body, 0);
  msg.ack_block = wire;
  const std::uint32_t block = block_from_wire(wire, expected_block(r), r.block_skew);
  if (block == 0) return;
  const char *in_sequence;
  const char *spurious;
  switch (static_cast<tftp_op>(r.op)) {
    case tftp_op::rrq:
      in_sequence = "ack for read; block=%d, last_block=%d, last_ack=%d";
      spurious = "spurious ack for read; block=%d, last_block=%d, last_ack=%d";
      break;
    case tftp_op::wrq:
      in_sequence = "ack for write; block=%d, last_block=%d, last_ack=%d";
      spurious = "spurious ack for write; block=%d, last_block=%d, last_ack=%d";
      break;
    default:
      log_error(3, "corrupted request->op: %d", r.op);
      return;
  }
  if (block == r.last_ack + 1 && block == r.last_block) {
    log_debug(5, in_sequence, block, r.last_block, r.last_ack);
    flush_request(r);
    r.last_ack = block;
  } else {
    log_debug(4, spurious, block, r.last_block, r.last_ack);
  }
}

void handle_oack(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  msg.blksize = msg.timeout = msg.tsize = EMPTY_TEXT;
  enum class expect { name, blksize, timeout, tsize, skipped };
  expect state = expect::name;
  const char *text = reinterpret_cast<const char *>(body.data());
  std::size_t start = 0;
  for (std::size_t at = 0; at < body.size(); ++at) {
    if (body[at] != 0) continue;
    // A completed string: it ends at this NUL, inside the datagram.
    const char *s = text + start;
    start = at + 1;
    switch (state) {
      case expect::name:
        state = strcasecmp(s, "blksize") == 0   ? expect::blksize
                : strcasecmp(s, "timeout") == 0 ? expect::timeout
                : strcasecmp(s, "tsize") == 0   ? expect::tsize
                                                : expect::skipped;
        continue;
      case expect::blksize: {
        msg.blksize = s;
        const auto value = static_cast<std::uint32_t>(c_atoi(s));
        r.blksize = value == 0 ? DEFAULT_BLKSIZE : value;
        break;
      }
      case expect::timeout:
        msg.timeout = s;
        r.timeout = static_cast<std::uint32_t>(c_atoi(s));
        break;
      case expect::tsize:
        msg.tsize = s;
        r.tsize = c_atoi(s);
        break;
      case expect::skipped:
        break;
    }
    state = expect::name;
  }
}

void handle_error(bytes_t body, tftp_msg_t &msg) {
  msg.error_code = load_be16(body, 0);
  if (body.size() < 3) {
    msg.error_msg = EMPTY_TEXT;
    return;
  }
  // The text ends at its NUL, or at the end of the datagram when it has none.
  const char *text = reinterpret_cast<const char *>(body.data()) + 2;
  const std::size_t room = body.size() - 2;
  const void *nul = std::memchr(text, 0, room);
  msg.error_msg = std::string_view(text, nul ? static_cast<const char *>(nul) - text : room);
}
