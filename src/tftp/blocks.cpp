// SPDX-License-Identifier: BSD-2-Clause
#include <cstdint>
#include <cstdlib>

#include "base/capture_clock.h"
#include "output/block_output.h"
#include "tftp/transfer_table.h"
#include "base/log.h"
#include "tftp/block_number.h"
#include "tftp/options.h"
#include "tftp/blocks.h"
#include "tftp/acknowledge.h"
#include "tftp/lifecycle.h"
#include "tftp/story.h"
#include "tftp/transfer.h"

namespace {

const char *const EMPTY_TEXT = "";

// atoi as the C library reads it, without its undefined overflow: glibc's
// atoi is strtol cut to int.
int c_atoi(const char *s) { return static_cast<int>(std::strtol(s, nullptr, 10)); }

// An option's value as a number, without wrapping: a value too large for
// it reads as out of range, not as what is left of it.
std::int64_t option_value(const char *s) {
  const long long v = std::strtoll(s, nullptr, 10);
  return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v;
}

bool before_first_block(const block_state_t &b) { return b.last_block == 0 && b.last_ack == 0; }

// The OACK's block size says which DATA is the last (the first shorter than
// it), read as the C library's atoi reads it, so that a wild value such as
// -1 still makes the next DATA the last one. It places blocks only when it
// is one the option allows; otherwise each counted block goes after the
// bytes counted before it. Either is decided before the first block.
void take_blksize(tftp_request_t &r, const char *text) {
  const auto size = static_cast<std::uint32_t>(c_atoi(text));
  const std::int64_t value = option_value(text);
  // 0, or no number at all, is no size: the default one.
  const bool placed = value == 0 || (value >= MIN_PLACED_BLKSIZE && value <= MAX_PLACED_BLKSIZE);
  // Once blocks came, the way they are placed stays.
  if (!before_first_block(r.blocks) && (!placed || r.blocks.appended)) return;
  r.blocks.blksize = size == 0 ? DEFAULT_BLKSIZE : size;
  const bool was_appended = r.blocks.appended;
  r.blocks.appended = !placed;
  if (placed || was_appended) return;
  log_warning("block size %s out of range for file: %s; blocks written one after another", text,
              r.out.name ? r.out.name.get() : "");
}

// The next block the transfer expects, in its own 32-bit count.
std::uint32_t expected_block(const tftp_request_t &r) { return r.blocks.last_ack + 1; }

// The block a sender sends next when it moves on: after the newest one
// seen, which may be past the acknowledged ones.
std::uint32_t next_sent(const block_state_t &b) { return (b.last_block > b.last_ack ? b.last_block : b.last_ack) + 1; }

// Memory a windowed transfer may hold before its file exists.
constexpr std::uint32_t MAX_WINDOW_BYTES = 16u << 20;



// The transfer's last block counted: the file has its size, and is whole
// unless the capture missed blocks.
void finish(tftp_request_t &r, std::uint32_t final_block, std::uint32_t final_length) {
  if (final_block != 0)
    output_settle_size(r.out, r.blocks.appended ? r.out.counted_end : block_place(r.blocks, final_block) + final_length);
  if (r.story) r.story->end_seen = final_block != 0;
  report_holes(r);
  r.state = TFTP_REQ_DONE;
  table_finished(r);
  table_after_error(r, false);
  release_request(r);
}

// One block at a time: the newest DATA waits for its acknowledgement, in
// place of any other, and the sender moving on to a later block proves that
// the block before was acknowledged.
void lockstep_data(tftp_request_t &r, std::uint16_t wire, bytes_t payload) {
  block_state_t &b = r.blocks;
  const auto length = static_cast<std::uint32_t>(payload.size());
  if (b.pending) {
    log_debug(4, "data already pending on tftp request");
    if (b.datalen < length) {
      log_debug(3, "later request claims more data; request->datalen=%d, datalen=%d", b.datalen, length);
      return;
    }
  }
  if (wraps_to_one(wire, next_sent(b), b.block_skew, b.last_block)) ++b.block_skew;
  const std::uint32_t block = block_from_wire(wire, expected_block(r), b.block_skew);
  story_data(r, block);
  if (block > b.last_ack + 1 && !acknowledge_up_to(r, block - 1)) return;
  output_forget_held(r.out);
  b.pending = true;
  b.pending_stale = block <= b.last_ack;
  if (!b.pending_stale) output_hold(r.out, place_of(r, block), payload, place_length(r.blocks));
  b.datalen = static_cast<std::uint16_t>(length);
  b.last_block = block;
  if (length < b.blksize) {
    log_debug(5, "received last block; length: %d, block: %d", length, block);
    // Counted before the transfer is marked done, or nothing would be.
    flush_request(r);
    if (r.state != TFTP_REQ_DONE) finish(r, b.pending_stale ? 0 : block, length);
  }
}

// Keeps a block of the window, in block order; a copy already held is
// replaced unless it is shorter, as in lock-step. Memory held before the
// file exists is bounded: a block past the bound is left out (a hole, if
// it is ever acknowledged).
void keep_in_window(tftp_request_t &r, std::uint32_t block, bytes_t payload) {
  std::vector<window_block_t> &window = r.extras->window;
  auto at = window.end();
  while (at != window.begin() && (at - 1)->block >= block) --at;
  const auto length = static_cast<std::uint32_t>(payload.size());
  if (at != window.end() && at->block == block) {
    log_debug(4, "data already pending on tftp request");
    if (at->length < length) {
      log_debug(3, "later request claims more data; request->datalen=%d, datalen=%d", at->length, length);
      return;
    }
    at->length = length;
  } else {
    if (window.size() >= MAX_WINDOW_BYTES / r.blocks.blksize + 1) {
      log_debug(3, "window holds too many blocks; block %d left out", block);
      return;
    }
    try {
      window.insert(at, {block, length});
    } catch (const std::bad_alloc &) {
      log_error(3, "failed to allocate request->data");
    }
  }
  output_hold(r.out, block_place(r.blocks, block), payload, place_length(r.blocks));
}

// Blocks that follow the acknowledged ones, up to `last`, are all held.
bool window_complete(const tftp_request_t &r, std::uint32_t last) {
  std::uint32_t next = r.blocks.last_ack + 1;
  for (const window_block_t &w : r.extras->window) {
    if (w.block != next) break;
    ++next;
  }
  return next > last;
}

// Once the last block is seen and every block before it counts or waits,
// the transfer is over.
void try_finish(tftp_request_t &r) {
  if (!r.extras || r.extras->final_block == 0 || r.state == TFTP_REQ_DONE) return;
  const block_extras_t &x = *r.extras;
  if (r.blocks.last_ack < x.final_block && !window_complete(r, x.final_block)) return;
  if (!acknowledge_up_to(r, x.final_block)) return;
  finish(r, x.final_block, x.final_length);
}

// Up to `windowsize` blocks past the acknowledged ones: each is kept for its
// place until an ACK acknowledges it and every block before it, or the
// sender moves past the window. A copy of a block that counted already is
// never taken again.
void window_data(tftp_request_t &r, std::uint16_t wire, bytes_t payload) {
  block_state_t &b = r.blocks;
  block_extras_t &x = extras_of(r);
  if (wraps_to_one(wire, next_sent(b), b.block_skew, b.last_block)) ++b.block_skew;
  const std::uint32_t block = block_in_window(wire, expected_block(r), b.block_skew, b.windowsize);
  if (block > b.last_ack && may_be_older(block, next_sent(b) - 1, b.windowsize)) {
    log_debug(4, "block %d is ambiguous in a window of %d; left out", wire, b.windowsize);
    return;
  }
  story_data(r, block);
  if (block > b.last_ack + b.windowsize && !acknowledge_up_to(r, block - b.windowsize)) return;
  if (block <= b.last_ack || (x.final_block != 0 && block > x.final_block)) return;
  keep_in_window(r, block, payload);
  if (block > b.last_block) b.last_block = block;
  const auto length = static_cast<std::uint32_t>(payload.size());
  if (length < b.blksize && x.final_block == 0) {
    log_debug(5, "received last block; length: %d, block: %d", length, block);
    x.final_block = block;
    x.final_length = length;
  }
  try_finish(r);
}

}  // namespace

void handle_data(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  wire_cursor c(body);
  const std::uint16_t wire = c.be16();
  const bytes_t payload = c.rest();
  msg.data_block = wire;
  msg.datalen = static_cast<std::uint32_t>(payload.size());
  if (r.state == TFTP_REQ_DONE) return;
  if (r.blocks.windowsize > 1) window_data(r, wire, payload);
  else lockstep_data(r, wire, payload);
}

void handle_ack(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  const std::uint16_t wire = wire_cursor(body).be16();
  msg.ack_block = wire;
  block_state_t &b = r.blocks;
  const std::uint32_t block = b.windowsize > 1 ? block_in_window(wire, expected_block(r), b.block_skew, b.windowsize)
                                               : block_from_wire(wire, expected_block(r), b.block_skew);
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
  // An ACK acknowledges every block up to its own; in lock-step that is the
  // block that waits, the one after the last acknowledged.
  if (block > b.last_ack && block <= b.last_block) {
    log_debug(5, in_sequence, block, b.last_block, b.last_ack);
    if (acknowledge_up_to(r, block) && b.windowsize > 1) try_finish(r);
  } else {
    log_debug(4, spurious, block, b.last_block, b.last_ack);
  }
}

// Option names and values pair up in order; a string cut off by the end of
// the body is ignored.
void handle_oack(tftp_request_t &r, bytes_t body, tftp_msg_t &msg) {
  msg.blksize = msg.timeout = msg.tsize = EMPTY_TEXT;
  story_oack(r, body);
  wire_cursor c(body);
  while (const auto name = c.cstring()) {
    const auto value = c.cstring();
    if (!value) break;
    const char *text = value->data();
    switch (find_option(*name)) {
      case tftp_option::blksize:
        msg.blksize = text;
        take_blksize(r, text);
        break;
      case tftp_option::timeout:
        msg.timeout = text;
        break;
      case tftp_option::tsize:
        msg.tsize = text;
        break;
      case tftp_option::windowsize: {
        msg.windowsize = text;
        // Only before the first block: a window that changes under blocks
        // already taken would leave them counted twice or never. A size
        // the option does not allow is as good as none: lock-step.
        const std::int64_t size = option_value(text);
        if (!before_first_block(r.blocks)) break;
        r.blocks.windowsize = static_cast<std::uint16_t>(size < 1 || size > 65535 ? 1 : size);
        break;
      }
      case tftp_option::other:
        break;
    }
  }
  // Appended blocks count one at a time.
  if (r.blocks.appended && before_first_block(r.blocks)) r.blocks.windowsize = 1;
}

void handle_error(bytes_t body, tftp_msg_t &msg) {
  wire_cursor c(body);
  msg.error_code = c.be16();
  // The text ends at its NUL, or at the end of the datagram when it has none.
  const bytes_t rest = c.rest();
  const auto text = c.cstring();
  msg.error_msg = text ? *text : std::string_view(reinterpret_cast<const char *>(rest.data()), rest.size());
}
