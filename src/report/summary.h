// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "report/report.h"

// The end-of-run summary on standard error, for a person: one line per
// transfer (the first SUMMARY_LINES), then the totals. Shown when standard
// error is a terminal, or as --summary asks.

enum class summary_when { automatic, always, never };

// From --summary's argument (null: always); false when it is none of
// "auto", "always" and "never".
bool summary_parse(const char *argument, summary_when &when);

// Decides, once the command line is read, whether the summary is shown.
void summary_set(summary_when when);
bool summary_enabled();

// Each transfer as it is told.
void summary_transfer(const transfer_report_t &t);

// The summary itself, at the end of the run.
void summary_print();
