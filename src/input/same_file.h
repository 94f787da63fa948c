// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <span>

// Whether writing to `path` would write over one of the `inputs` (capture
// paths, "-" for standard input): it is the same file (device and inode),
// or, when nothing is at `path` yet, the same path as an input.
bool names_an_input(const char *path, std::span<const char *const> inputs);
