// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string>

// "udp", or "udp and " followed by the filter words joined by single spaces.
// Ends the process with status 3 when the size wraps around.
std::string compose_filter(int count, char *const words[]);

// The first filter word, or null: when the filter does not compile and it
// names a file, the user meant to read that file.
extern const char *filter_first_word;
