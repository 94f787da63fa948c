// SPDX-License-Identifier: BSD-2-Clause
#include "report/summary.h"

#include "report/hints.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/wire_text.h"

namespace {

constexpr std::size_t SUMMARY_LINES = 50;
constexpr std::size_t RANGES_SHOWN = 3;

bool shown = false;
std::vector<std::string> lines;
std::uint64_t more = 0;
std::uint64_t counts[TRANSFER_VERDICTS] = {};
std::uint64_t files = 0;
std::uint64_t total_bytes = 0;

std::string endpoint_text(const endpoint_t &e) {
  const address_text a = to_text(e.addr);
  char s[sizeof a.text + 16];
  std::snprintf(s, sizeof s, std::strchr(a.text, ':') ? "[%s]:%u" : "%s:%u", a.text, static_cast<unsigned>(e.port));
  return s;
}

void append(std::string &out, const char *format, auto... values) {
  char s[128];
  std::snprintf(s, sizeof s, format, values...);
  out += s;
}

std::string line_of(const transfer_report_t &t) {
  std::string out;
  append(out, "  %-10s %s > %s %s \"", verdict_name(t.verdict), endpoint_text(t.requester).c_str(),
         endpoint_text(t.server).c_str(), t.read ? "read " : "write");
  append_wire_text(out, t.filename);
  append(out, "\" %" PRIu64, t.bytes);
  if (t.tsize) append(out, "/%" PRId64, *t.tsize);
  const double seconds = t.last_us > t.first_us ? static_cast<double>(t.last_us - t.first_us) / 1e6 : 0.0;
  append(out, " bytes %.3f s", seconds);
  if (seconds > 0) append(out, " %.0f B/s", static_cast<double>(t.bytes) / seconds);
  if (t.retransmitted) append(out, ", %u retransmitted", t.retransmitted);
  if (t.verdict == transfer_verdict::error) {
    append(out, ", ERROR %u \"", static_cast<unsigned>(t.error_code));
    append_wire_text(out, t.error_message);
    out += '"';
  }
  for (std::size_t i = 0; i < t.missing_count && i < RANGES_SHOWN; ++i)
    append(out, "%s[%" PRIu64 ", %" PRIu64 ")", i == 0 ? ", missing " : " ", t.missing[i].start, t.missing[i].end);
  return out;
}

}  // namespace

bool summary_parse(const char *argument, summary_when &when) {
  if (argument == nullptr || std::strcmp(argument, "always") == 0) when = summary_when::always;
  else if (std::strcmp(argument, "auto") == 0) when = summary_when::automatic;
  else if (std::strcmp(argument, "never") == 0) when = summary_when::never;
  else return false;
  return true;
}

void summary_set(summary_when when) {
  shown = when == summary_when::always || (when == summary_when::automatic && isatty(STDERR_FILENO));
  if (shown) report_want_verdicts();
}

bool summary_enabled() { return shown; }

void summary_transfer(const transfer_report_t &t) {
  if (!shown) return;
  ++counts[static_cast<int>(t.verdict)];
  if (t.output) ++files;
  total_bytes += t.bytes;
  if (lines.size() < SUMMARY_LINES) lines.push_back(line_of(t));
  else ++more;
}

void summary_print() {
  if (!shown) return;
  log_status_clear();
  std::uint64_t transfers = 0;
  for (const std::uint64_t c : counts) transfers += c;
  std::fprintf(stderr, "%" PRIu64 " transfers:", transfers);
  for (int v = 0; v < TRANSFER_VERDICTS; ++v)
    std::fprintf(stderr, "%s %" PRIu64 " %s", v ? "," : "", counts[v], verdict_name(static_cast<transfer_verdict>(v)));
  std::fprintf(stderr, "; %" PRIu64 " files, %" PRIu64 " bytes\n", files, total_bytes);
  for (const std::string &l : lines) std::fprintf(stderr, "%s\n", l.c_str());
  if (more) std::fprintf(stderr, "  \u2026 and %" PRIu64 " more\n", more);
  hints_print();
}
