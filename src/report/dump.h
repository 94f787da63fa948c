// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "base/bytes.h"

// Hexadecimal and ASCII dump, 16 bytes a line, runs of equal lines as "\t*".
void hex_dump(bytes_t bytes);
