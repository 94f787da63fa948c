// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>

#include "base/address.h"

// The Community ID (version 1, seed 0) of a UDP flow between two endpoints:
// the same in either direction, so that a report's transfers join the flow
// logs of other network monitors. "1:" and the base64 of a SHA-1 digest.
struct community_id_t {
  std::array<char, 32> text{};  // NUL-terminated
};

community_id_t udp_community_id(const endpoint_t &a, const endpoint_t &b);
