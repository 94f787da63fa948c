// SPDX-License-Identifier: BSD-2-Clause
#include "report/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "base/capture_clock.h"
#include "base/retrying_stream.h"
#include "report/community_id.h"
#include "report/json.h"
#include "report/run_status.h"
#include "base/cursor.h"
#include "base/log.h"

namespace {

std::FILE *report_stream = nullptr;
bool report_to_stdout = false;

struct totals_t {
  std::uint64_t by_verdict[TRANSFER_VERDICTS] = {};
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
} totals;

void key(std::string &out, const char *name) {
  out += out.back() == '{' ? "\"" : ",\"";
  out += name;
  out += "\":";
}

void number(std::string &out, std::uint64_t v) { out += std::to_string(v); }

void text(std::string &out, std::string_view s) { json_string(out, s); }

void endpoint_text(std::string &out, const endpoint_t &e) {
  const address_text a = to_text(e.addr);
  char s[sizeof a.text + 16];
  std::snprintf(s, sizeof s, std::strchr(a.text, ':') ? "[%s]:%u" : "%s:%u", a.text, static_cast<unsigned>(e.port));
  text(out, s);
}

// Option pairs as an object, names and values as sent; an unterminated
// string at the end is left out, as the decoders leave it.
void options_object(std::string &out, bytes_t pairs) {
  out += '{';
  wire_cursor c(pairs);
  bool first = true;
  while (const auto name = c.cstring()) {
    const auto value = c.cstring();
    if (!value) break;
    if (!first) out += ',';
    first = false;
    text(out, *name);
    out += ':';
    text(out, *value);
  }
  out += '}';
}

void missing_object(std::string &out, const transfer_report_t &t) {
  out += "{\"ranges\":[";
  for (std::size_t i = 0; i < t.missing_count; ++i) {
    if (i) out += ',';
    out += '[';
    number(out, t.missing[i].start);
    out += ',';
    number(out, t.missing[i].end);
    out += ']';
  }
  out += ']';
  if (t.missing_more) {
    key(out, "more");
    number(out, t.missing_more);
  }
  key(out, "end_seen");
  out += t.end_seen ? "true" : "false";
  out += '}';
}

void hex(std::string &out, const std::array<std::uint8_t, 32> &digest) {
  static const char digits[] = "0123456789abcdef";
  out += '"';
  for (const std::uint8_t b : digest) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  out += '"';
}

void emit(const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), report_stream);
  std::fputc('\n', report_stream);
  // A reader following a live run sees each transfer as it ends.
  std::fflush(report_stream);
  // A reader of standard output that went away ends the run.
  if (report_to_stdout) run_stdout_closed();
}

// The report holds the names and addresses the files do: it is made
// readable by its owner alone, as they are.
constexpr mode_t REPORT_PERMISSIONS = 0600;
retrying_target report_target;

// Seconds with six decimals, from microseconds, without a detour through
// floating point.
void seconds(std::string &out, std::int64_t us) {
  if (us < 0) {
    out += '-';
    us = -us;
  }
  char s[32];
  std::snprintf(s, sizeof s, "%lld.%06lld", static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000));
  out += s;
}

void errors_array(std::string &out, const transfer_report_t &t) {
  out += '[';
  for (std::size_t i = 0; i < t.error_count; ++i) {
    if (i) out += ',';
    out += "{\"code\":";
    number(out, t.errors[i].code);
    out += ",\"message\":";
    text(out, t.errors[i].message);
    out += '}';
  }
  out += ']';
  if (t.errors_more) key(out, "errors_more"), number(out, t.errors_more);
}

// The fields that let a person see where time went and join the line with
// other tools' flow logs.
void timing_and_flows(std::string &out, const transfer_report_t &t) {
  key(out, "requests"), number(out, t.requests);
  key(out, "request_to"), endpoint_text(out, t.request_to);
  key(out, "duration"), seconds(out, t.last_us > t.first_us ? t.last_us - t.first_us : 0);
  key(out, "ts"), seconds(out, t.first_us);
  key(out, "max_gap"), seconds(out, t.max_gap_us);
  key(out, "community_id"), text(out, udp_community_id(t.requester, t.server).text.data());
  key(out, "request_community_id"), text(out, udp_community_id(t.requester, t.request_to).text.data());
  if (t.error_count != 0) key(out, "errors"), errors_array(out, t);
}

}  // namespace

const char *verdict_name(transfer_verdict v) {
  switch (v) {
    case transfer_verdict::complete: return "complete";
    case transfer_verdict::incomplete: return "incomplete";
    case transfer_verdict::error: return "error";
    case transfer_verdict::failed: return "failed";
    case transfer_verdict::unanswered: return "unanswered";
  }
  return "incomplete";
}

bool report_open(const char *path) {
  if (std::strcmp(path, "-") == 0) {
    report_stream = stdout;
    report_to_stdout = true;
    return true;
  }
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, REPORT_PERMISSIONS);
  if (fd < 0) return false;
  report_target = {fd, true, 0};
  report_stream = retrying_stream(report_target);
  if (report_stream == nullptr) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
  }
  return report_stream != nullptr;
}

bool report_enabled() { return report_stream != nullptr; }

namespace {
bool verdicts_asked = false;
}  // namespace

void report_want_verdicts() { verdicts_asked = true; }
bool verdicts_wanted() { return verdicts_asked || report_stream != nullptr; }

std::uint64_t transfers_with_verdict(transfer_verdict v) { return totals.by_verdict[static_cast<int>(v)]; }

namespace {

// Lines held back for their digests, in order: the text before the digest,
// the hash, and the text after it.
struct held_line {
  std::string head;
  std::unique_ptr<pending_digest> hash;
  std::string tail;
};
std::deque<held_line> held_lines;

void write_line(held_line &l) {
  std::array<std::uint8_t, 32> digest{};
  if (l.hash && l.hash->digest(digest)) hex(l.head, digest);
  else l.head += "null";
  l.head += l.tail;
  emit(l.head);
}

// Writes the held lines whose digests are done (all of them when `wait`).
void write_ready(bool wait) {
  while (!held_lines.empty()) {
    held_line &l = held_lines.front();
    if (!wait && l.hash && !l.hash->ready()) return;
    write_line(l);
    held_lines.pop_front();
  }
}

}  // namespace

void report_drain() {
  if (report_stream) write_ready(true);
}

void report_run(const run_facts_t &run) {
  if (!report_stream) return;
  std::string out = "{";
  key(out, "type"), text(out, "run");
  key(out, "version"), text(out, TFTPCARVE_VERSION);
  key(out, "inputs");
  out += '[';
  for (std::size_t i = 0; i < run.inputs.size(); ++i) {
    if (i) out += ',';
    text(out, run.inputs[i]);
  }
  out += ']';
  key(out, "filter"), text(out, run.filter);
  key(out, "arguments");
  out += '[';
  for (std::size_t i = 0; i < run.arguments.size(); ++i) {
    if (i) out += ',';
    text(out, run.arguments[i]);
  }
  out += ']';
  key(out, "start"), text(out, rfc3339(run.start_us).text);
  key(out, "start_ts"), seconds(out, run.start_us);
  out += '}';
  emit(out);
}

void report_transfer(transfer_report_t &t) {
  ++totals.by_verdict[static_cast<int>(t.verdict)];
  if (t.output) ++totals.files;
  totals.bytes += t.bytes;
  if (!report_stream) return;
  std::string out = "{";
  key(out, "type"), text(out, "transfer");
  key(out, "requester"), endpoint_text(out, t.requester);
  key(out, "server"), endpoint_text(out, t.server);
  key(out, "op"), text(out, t.read ? "read" : "write");
  key(out, "filename"), text(out, t.filename);
  key(out, "mode"), text(out, t.mode);
  key(out, "options"), options_object(out, t.requested);
  key(out, "accepted");
  if (t.has_oack) options_object(out, t.accepted);
  else out += "null";
  key(out, "blksize"), number(out, t.blksize);
  key(out, "windowsize"), number(out, t.windowsize);
  key(out, "tsize");
  if (t.tsize) out += std::to_string(*t.tsize);
  else out += "null";
  key(out, "output");
  if (t.output) text(out, t.output);
  else out += "null";
  key(out, "state"), text(out, verdict_name(t.verdict));
  if (t.verdict == transfer_verdict::error) {
    key(out, "error");
    out += "{\"code\":";
    number(out, t.error_code);
    out += ",\"message\":";
    text(out, t.error_message);
    out += '}';
  }
  if (t.verdict == transfer_verdict::failed) key(out, "reason"), text(out, t.failure ? t.failure : "");
  key(out, "bytes"), number(out, t.bytes);
  key(out, "missing"), missing_object(out, t);
  if (t.tsize_matches) key(out, "tsize_matches"), out += *t.tsize_matches ? "true" : "false";
  key(out, "sha256");
  held_line line{std::move(out), std::move(t.hash), {}};
  out.clear();
  key(out, "first_time"), text(out, rfc3339(t.first_us).text);
  key(out, "last_time"), text(out, rfc3339(t.last_us).text);
  key(out, "blocks"), number(out, t.blocks);
  key(out, "retransmitted"), number(out, t.retransmitted);
  timing_and_flows(out, t);
  out += '}';
  line.tail = std::move(out);
  // On standard output the report's lines keep their place among the
  // trace's: nothing is held back there.
  if (report_to_stdout) {
    write_line(line);
  } else {
    held_lines.push_back(std::move(line));
    write_ready(false);
  }
}

void report_summary(std::uint64_t frames) {
  if (!report_stream) return;
  write_ready(true);
  std::string out = "{";
  key(out, "type"), text(out, "summary");
  key(out, "transfers");
  out += '{';
  for (int v = 0; v < TRANSFER_VERDICTS; ++v) {
    key(out, verdict_name(static_cast<transfer_verdict>(v)));
    number(out, totals.by_verdict[v]);
  }
  out += '}';
  key(out, "files"), number(out, totals.files);
  key(out, "bytes"), number(out, totals.bytes);
  key(out, "warnings"), number(out, warnings_logged());
  key(out, "frames"), number(out, frames);
  out += '}';
  emit(out);
}

bool report_close() {
  if (!report_stream) return true;
  write_ready(true);
  bool ok = std::fflush(report_stream) == 0 && !std::ferror(report_stream);
  // A closed standard output was told, once, when it was found.
  if (report_to_stdout && run_stdout_closed()) ok = true;
  if (!report_to_stdout && std::fclose(report_stream) != 0) ok = false;
  if (!ok && report_target.error != 0) errno = report_target.error;
  report_stream = nullptr;
  return ok;
}
