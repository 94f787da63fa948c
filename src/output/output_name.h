// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <memory>

#include "base/address.h"

// An output name: the endpoint part, the requester's address and port, then
// "-" and the server's address and port, fixed width so that names sort;
// then, unless -E, "-" and the requested file name with every byte other
// than an ASCII letter, a digit or "." turned into "_", so that a name never
// holds a separator and never leaves the folder it is written in. Without a
// file name (a transfer released before its server's port was learnt) the
// endpoint part stands alone. Ends the process when the name cannot be had.
std::unique_ptr<char[]> build_output_name(const endpoint_t &requester, const endpoint_t &server,
                                          const char *filename);
