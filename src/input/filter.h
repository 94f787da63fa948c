// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string>

// "udp", or "udp and " followed by the filter words joined by single spaces.
// Ends the process with status 3 when the size wraps around.
std::string compose_filter(int count, char *const words[]);
