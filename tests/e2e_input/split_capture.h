// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// A classic pcap file cut into several, as a ring or several sensors would
// have it: each piece has the file's header and some of its records.

#include <cstddef>
#include <string>
#include <vector>

#include "capture_builder.h"
#include "run_tool.h"

namespace split_capture {

using capture_builder::bytes;

// The file's records in `pieces` runs that follow each other (a ring).
std::vector<bytes> in_runs(const bytes &file, std::size_t pieces);

// Record i in piece i % pieces (sensors that each saw every other frame).
std::vector<bytes> dealt(const bytes &file, std::size_t pieces);

// `content` compressed by the command `tool` (e.g. "gzip -c"); empty when
// the command is missing or fails.
bytes compressed(const bytes &content, const std::string &tool);

// The name of piece i of a ring: PREFIX00, PREFIX01, ...
std::string piece_name(const std::string &prefix, std::size_t i);

}  // namespace split_capture
