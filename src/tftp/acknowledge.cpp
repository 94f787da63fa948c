// SPDX-License-Identifier: BSD-2-Clause
// The acknowledgement rules: which blocks an acknowledgement makes count at
// their places, and which it leaves as holes.

#include <cinttypes>
#include <cstdio>
#include <new>

#include "base/capture_clock.h"
#include "base/log.h"
#include "output/block_output.h"
#include "tftp/acknowledge.h"
#include "tftp/lifecycle.h"
#include "tftp/story.h"
#include "tftp/transfer.h"
#include "tftp/transfer_table.h"

namespace {

// Counts `block` of `length` bytes held for its place; false when the
// transfer was abandoned because its output failed.
bool count_block(tftp_request_t &r, std::uint32_t block, std::uint32_t length) {
  if (r.state == TFTP_REQ_DONE) return false;
  // The first block shows the size the sender uses, should it be larger
  // than the one known; blocks after it go at their places by it.
  if (block == 1 && length > r.blocks.blksize && length <= 0xffff && !r.blocks.appended)
    r.blocks.place_size = static_cast<std::uint16_t>(length);
  if (!output_count(r.out, place_of(r, block), length, {r.blocks.last_block, r.blocks.last_ack})) {
    story_failed(r, r.out.failure);
    r.state = TFTP_REQ_DONE;
    table_finished(r);
    table_after_error(r, false);
    release_request(r);
    return false;
  }
  if (output_has_file(r.out)) r.state = TFTP_REQ_OPEN;
  return true;
}

constexpr std::size_t HOLES_SHOWN = 5;

// Blocks `first` to `last` were acknowledged but never seen.
void add_hole(tftp_request_t &r, std::uint32_t first, std::uint32_t last) {
  if (first == 0 || first > last) return;
  block_extras_t &x = extras_of(r);
  // Appended blocks have no places: the hole is where the blocks after it
  // go, and its size is not known.
  const byte_range_t range{place_of(r, first), place_of(r, last + 1)};
  if (!x.holes.empty() && x.holes.back().end == range.start) {
    x.holes.back().end = range.end;
  } else if (x.holes.size() < MAX_HOLES) {
    try {
      x.holes.push_back(range);
    } catch (const std::bad_alloc &) {
      log_error(3, "failed to allocate request->data");
    }
  } else {
    ++x.holes_more;
  }
}

// Lock-step: the pending block counts when it lies in (last_ack, block].
bool acknowledge_pending(tftp_request_t &r, std::uint32_t block) {
  block_state_t &b = r.blocks;
  const std::uint32_t first = b.last_ack + 1;
  if (!b.pending || b.pending_stale || b.last_block < first || b.last_block > block) {
    add_hole(r, first, block);
    return true;
  }
  const std::uint32_t counted = b.last_block;
  add_hole(r, first, counted - 1);
  flush_request(r);
  if (r.state == TFTP_REQ_DONE) return false;
  add_hole(r, counted + 1, block);
  return true;
}

// Windowed: the blocks of the window up to `block` count, in order.
bool acknowledge_window(tftp_request_t &r, std::uint32_t block) {
  std::uint32_t next = r.blocks.last_ack + 1;
  std::vector<window_block_t> &window = extras_of(r).window;
  std::size_t taken = 0;
  for (; taken < window.size() && window[taken].block <= block; ++taken) {
    const window_block_t w = window[taken];
    add_hole(r, next, w.block - 1);
    if (!count_block(r, w.block, w.length)) return false;
    next = w.block + 1;
  }
  window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(taken));
  add_hole(r, next, block);
  return true;
}

void print_range(char *&at, const char *end, const byte_range_t &range, bool first) {
  const int n = std::snprintf(at, static_cast<std::size_t>(end - at), "%s[%" PRIu64 ", %" PRIu64 ")",
                              first ? "" : ", ", range.start, range.end);
  if (n > 0) at += std::min<std::ptrdiff_t>(n, end - at - 1);
}

}  // namespace

void flush_request(tftp_request_t &r) {
  block_state_t &b = r.blocks;
  if (!b.pending || b.pending_stale || r.state == TFTP_REQ_DONE) return;
  if (count_block(r, b.last_block, b.datalen)) b.pending = false;
}

bool acknowledge_up_to(tftp_request_t &r, std::uint32_t block) {
  if (block <= r.blocks.last_ack) return true;
  if (r.state != TFTP_REQ_DONE) {
    const bool going = r.blocks.windowsize > 1 ? acknowledge_window(r, block) : acknowledge_pending(r, block);
    if (!going) return false;
  }
  r.blocks.last_ack = block;
  return true;
}

void report_holes(const tftp_request_t &r) {
  if (!r.extras || r.extras->holes.empty() || !r.out.name) return;
  const block_extras_t &x = *r.extras;
  char text[256];
  char *at = text;
  const char *end = text + sizeof text;
  *at = '\0';
  const std::size_t shown = std::min(x.holes.size(), HOLES_SHOWN);
  for (std::size_t i = 0; i < shown; ++i) print_range(at, end, x.holes[i], i == 0);
  const std::uint64_t more = x.holes.size() - shown + x.holes_more;
  if (more != 0) std::snprintf(at, static_cast<std::size_t>(end - at), " and %" PRIu64 " more", more);
  log_warning("missing content in file: %s: %s", r.out.name.get(), text);
}

void count_what_follows(tftp_request_t &r) {
  if (r.blocks.windowsize <= 1) {
    if (r.blocks.last_block == r.blocks.last_ack + 1) flush_request(r);
    return;
  }
  if (!r.extras) return;
  // The window's blocks that directly follow the counted ones.
  std::uint32_t last = r.blocks.last_ack;
  for (const window_block_t &w : r.extras->window) {
    if (w.block != last + 1) break;
    last = w.block;
  }
  acknowledge_up_to(r, last);
}
