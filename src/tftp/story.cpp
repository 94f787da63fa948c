// SPDX-License-Identifier: BSD-2-Clause
// What the report tells of each transfer: gathered as its datagrams come,
// told once when it ends (or at the end of the run).

#include <algorithm>
#include <cstring>
#include <new>

#include "base/capture_clock.h"
#include "report/report.h"
#include "report/summary.h"
#include "base/log.h"
#include "base/options.h"
#include "tftp/options.h"
#include "tftp/story.h"
#include "tftp/transfer.h"

namespace {

std::vector<std::uint8_t> copy_of(bytes_t bytes) {
  try {
    return {bytes.begin(), bytes.end()};
  } catch (const std::bad_alloc &) {
    log_error(3, "failed to malloc tftp_request_t");
  }
  return {};
}

// The value of a size option among pairs, or -1.
std::int64_t tsize_in(bytes_t pairs) {
  wire_cursor c(pairs);
  std::int64_t found = -1;
  while (const auto name = c.cstring()) {
    const auto value = c.cstring();
    if (!value) break;
    if (find_option(*name) == tftp_option::tsize) found = std::strtoll(value->data(), nullptr, 10);
  }
  return found;
}

// The size the sender announced: the server's in its OACK for a read, the
// requester's in its request for a write (a reader's request asks, with 0).
std::optional<std::int64_t> announced_size(const tftp_request_t &r) {
  const transfer_story_t &s = *r.story;
  const std::int64_t oack = s.has_oack ? tsize_in(s.accepted) : -1;
  if (oack > 0) return oack;
  if (r.op == tftp_op::wrq && s.requested_tsize > 0) return s.requested_tsize;
  return std::nullopt;
}

transfer_verdict verdict_of(const tftp_request_t &r, bool whole) {
  const transfer_story_t &s = *r.story;
  if (s.failed) return transfer_verdict::failed;
  if (whole) return transfer_verdict::complete;
  if (s.error_seen) return transfer_verdict::error;
  if (!s.answered) return transfer_verdict::unanswered;
  return transfer_verdict::incomplete;
}

}  // namespace

bool story_repeats(const tftp_request_t &r, const request_template_t &t) {
  if (!r.story || r.story->answered || !r.filename || !r.mode || r.op != t.op) return false;
  const std::vector<std::uint8_t> &options = r.story->requested;
  return std::strcmp(r.filename.get(), t.filename) == 0 && std::strcmp(r.mode, t.mode) == 0 &&
         std::equal(options.begin(), options.end(), t.options.begin(), t.options.end());
}

void story_begin(tftp_request_t &r, const request_template_t &t, std::unique_ptr<transfer_story_t> earlier) {
  if (!verdicts_wanted()) return;
  if (earlier) {
    r.story = std::move(earlier);
    ++r.story->requests;
    story_touch(r);
  } else {
    r.story.reset(new (std::nothrow) transfer_story_t);
    if (!r.story) log_error(2, "failed to malloc tftp_request_t");
    r.story->first_us = r.story->last_us = capture_now_us;
    r.story->requested = copy_of(t.options);
    r.story->requested_tsize = tsize_in(t.options);
    r.story->request_to = t.server;
  }
  // The content's hash waits for the transfer's first datagram
  // (story_hash): a request that nothing answers never counts a byte.
}

void story_hash(tftp_request_t &r) {
  if (!r.story || r.out.hash) return;
  r.out.hash.reset(new (std::nothrow) content_hash);
  if (!r.out.hash) log_error(3, "failed to set up sha256");
}

void story_touch(tftp_request_t &r) {
  if (!r.story) return;
  transfer_story_t &s = *r.story;
  if (capture_now_us - s.last_us > s.max_gap_us) s.max_gap_us = capture_now_us - s.last_us;
  s.last_us = capture_now_us;
}

void story_answered(tftp_request_t &r) {
  if (r.story) r.story->answered = true;
}

void story_data(tftp_request_t &r, std::uint32_t block) {
  if (!r.story) return;
  transfer_story_t &s = *r.story;
  if (block > s.newest_block || s.blocks == 0) {
    ++s.blocks;
    s.newest_block = block;
  } else {
    ++s.retransmitted;
  }
}

void story_error(tftp_request_t &r, const tftp_msg_t &msg) {
  if (!r.story) return;
  r.story->error_seen = true;
  r.story->error_code = msg.error_code;
  r.story->error_message.assign(msg.error_msg.substr(0, MAX_ERROR_TEXT));
  std::vector<std::pair<std::uint16_t, std::string>> &errors = r.story->errors;
  if (errors.size() >= MAX_ERRORS_KEPT) {
    ++r.story->errors_more;
    return;
  }
  try {
    errors.emplace_back(msg.error_code, r.story->error_message);
  } catch (const std::bad_alloc &) {
    log_error(3, "failed to malloc tftp_request_t");
  }
}

void story_oack(tftp_request_t &r, bytes_t body) {
  if (!r.story) return;
  r.story->has_oack = true;
  r.story->accepted = copy_of(body);
}

void story_failed(tftp_request_t &r, int error) {
  if (!r.story) return;
  r.story->failed = true;
  r.story->failure = error;
}

void tell_story(tftp_request_t &r) {
  if (!r.story || r.story->reported || r.story->cloned || r.story->repeated) return;
  transfer_story_t &s = *r.story;
  s.reported = true;
  const block_extras_t *x = r.extras.get();
  const bool holes = x && !x->holes.empty();
  transfer_report_t t;
  t.requester = {r.ends.src_addr, r.src_port};
  t.server = {r.ends.dst_addr, r.ends.dtid != 0 ? r.ends.dtid : r.dst_port};
  t.read = r.op == tftp_op::rrq;
  t.filename = r.filename ? r.filename.get() : "";
  t.mode = r.mode ? r.mode : "";
  t.requested = s.requested;
  t.has_oack = s.has_oack;
  t.accepted = s.accepted;
  t.blksize = r.blocks.blksize;
  t.windowsize = r.blocks.windowsize;
  t.tsize = announced_size(r);
  t.output = r.out.created && !print_console ? r.out.name.get() : nullptr;
  t.end_seen = s.end_seen;
  t.verdict = verdict_of(r, s.end_seen && !holes);
  t.error_code = s.error_code;
  t.error_message = s.error_message;
  t.failure = s.failed ? std::strerror(s.failure) : nullptr;
  t.bytes = r.out.content_bytes;
  // The holes, and past the content the rest of an announced size when the
  // end was never seen.
  std::vector<byte_range_t> missing;
  if (x) {
    missing = x->holes;
    t.missing_more = x->holes_more;
  }
  if (!s.end_seen && t.tsize && static_cast<std::uint64_t>(*t.tsize) > r.out.counted_end)
    missing.push_back({r.out.counted_end, static_cast<std::uint64_t>(*t.tsize)});
  t.missing = missing.data();
  t.missing_count = missing.size();
  if (t.tsize && s.end_seen) t.tsize_matches = static_cast<std::uint64_t>(*t.tsize) == r.out.counted_end;
  t.hash = output_take_hash(r.out);
  // A failed output: the report tells what reached the file, and no hash
  // where a failed write left its content unknown.
  if (s.failed) {
    t.bytes = output_bytes_written(r.out);
    if (r.out.created && !print_console) t.hash.reset();
  }
  // No file, no digest: a hash-set import must not record a file that does
  // not exist. Printed content (-c) keeps the digest of what was printed.
  if (!t.output && !(print_console && r.out.content_bytes != 0)) t.hash.reset();
  t.first_us = s.first_us;
  t.last_us = s.last_us;
  t.blocks = s.blocks;
  t.retransmitted = s.retransmitted;
  t.requests = s.requests;
  t.request_to = s.request_to;
  t.max_gap_us = s.max_gap_us;
  std::vector<error_seen_t> errors;
  for (const auto &[code, message] : s.errors) errors.push_back({code, message});
  t.errors = errors.data();
  t.error_count = errors.size();
  t.errors_more = s.errors_more;
  summary_transfer(t);
  report_transfer(t);
}
