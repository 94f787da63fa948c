// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// report/: everything that tells the user what happened, apart from the
// carved files: the JSON report (written here) and its escaper, the trace,
// the hex dump, and the run's status (standard output's health, the failure
// count). It includes only base/ and never opens a carved file.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/address.h"
#include "base/bytes.h"
#include "report/pending_digest.h"

// The report: one JSON object per transfer, on one line, when the transfer
// is over (or at the end of the run), in the order they end; then one
// summary object. See the manual page for the fields.
//
// A report written to a file may hold a transfer's line back until its
// digest is computed (hash_worker.h), and the lines after it with it, so
// that the run does not wait for the hashing; the order stays the same.

enum class transfer_verdict { complete, incomplete, error, failed, unanswered };
inline constexpr int TRANSFER_VERDICTS = 5;

// The verdict's name, as the report and the summary print it.
const char *verdict_name(transfer_verdict v);

// One ERROR a transfer saw.
struct error_seen_t {
  std::uint16_t code;
  std::string_view message;
};

struct transfer_report_t {
  endpoint_t requester;
  endpoint_t server;  // its transfer port once known
  bool read = true;
  std::string_view filename;
  std::string_view mode;
  bytes_t requested;  // the request's option pairs, NUL-ended strings
  bool has_oack = false;
  bytes_t accepted;   // the option acknowledgement's pairs
  std::uint32_t blksize = 0;
  std::uint32_t windowsize = 1;
  std::optional<std::int64_t> tsize;  // announced by the sender
  const char *output = nullptr;       // the file's name, when one was made
  transfer_verdict verdict = transfer_verdict::incomplete;
  std::uint16_t error_code = 0;
  std::string_view error_message;
  const char *failure = nullptr;      // why the output failed
  std::uint64_t bytes = 0;
  const byte_range_t *missing = nullptr;
  std::size_t missing_count = 0;
  std::uint64_t missing_more = 0;
  bool end_seen = false;
  std::optional<bool> tsize_matches;  // when the end was seen and a size announced
  std::unique_ptr<pending_digest> hash;  // the content's, when it was hashed
  std::int64_t first_us = 0;
  std::int64_t last_us = 0;
  std::uint32_t blocks = 0;
  std::uint32_t retransmitted = 0;
  std::uint32_t requests = 1;
  endpoint_t request_to;  // where the first request went
  std::int64_t max_gap_us = 0;
  const error_seen_t *errors = nullptr;
  std::size_t error_count = 0;
  std::uint32_t errors_more = 0;
};

// Opens the report ("-" for standard output). False with errno set when it
// cannot be opened.
bool report_open(const char *path);
bool report_enabled();

// Verdicts are wanted without a report too (--strict, the summary): each
// transfer's is then worked out as for a report line.
void report_want_verdicts();
bool verdicts_wanted();

// Transfers told so far, by verdict.
std::uint64_t transfers_with_verdict(transfer_verdict v);

// What the first line tells of the run, so that lines of many reports
// merged together can be traced back to their capture.
struct run_facts_t {
  std::vector<std::string_view> inputs;     // as given
  std::string_view filter;                  // the filter text compiled
  std::vector<std::string_view> arguments;  // the command line, but the program
  std::int64_t start_us = 0;                // wall-clock
};

// The first line, before any transfer's.
void report_run(const run_facts_t &run);

void report_transfer(transfer_report_t &t);

// Writes out every line held back (waiting for their digests).
void report_drain();

// The last line: counts by verdict, files, bytes, warnings, frames.
void report_summary(std::uint64_t frames);

// Flushes and closes; false when something could not be written.
bool report_close();
