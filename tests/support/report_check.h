// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Every report a test run makes is checked against the report's schema
// (doc/report.schema.json); a report that does not validate fails the test
// that made it.

#include <string>
#include <vector>

#include "run_tool.h"

namespace capture_builder {

// The report of a run given `args`, if it asked for one and wrote any line:
// the file it named, or the lines of standard output that are JSON objects.
std::string report_of_run(const std::vector<std::string> &args, const run_result &result);

// The schema's complaints about `report`, one a line; empty when it is valid.
std::string report_schema_problems(const std::string &report);

// Fails the running test when the run's report does not validate.
void check_report(const std::vector<std::string> &args, const run_result &result);

}  // namespace capture_builder
