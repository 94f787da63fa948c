// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

// How transfers end when nothing in the capture ends them. Each unfinished
// transfer is warned of (its ERROR, or possible partial content), its
// pending block and holes are accounted for, then it is released
// (lifecycle.h).

// The end of the run: every transfer ends and is forgotten.
void flush_all_requests();

// Ends the transfers silent for long by `now_us` (transfer_table.h), as the
// end of the run would end them, and forgets them.
void expire_transfers(std::int64_t now_us);

// A fatal exit: what every output counted is written out and the files are
// closed, with no report.
void close_all_outputs();
