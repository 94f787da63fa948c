// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <strings.h>

#include <array>
#include <string_view>

// The options this tool follows, in requests and option acknowledgements
// alike. Names compare without regard to the case of ASCII letters.
enum class tftp_option { blksize, timeout, tsize, windowsize, other };

struct option_name_t {
  const char *name;
  tftp_option option;
};

inline constexpr std::array<option_name_t, 4> TFTP_OPTIONS{{
    {"blksize", tftp_option::blksize},
    {"timeout", tftp_option::timeout},
    {"tsize", tftp_option::tsize},
    {"windowsize", tftp_option::windowsize},
}};

// `name` is NUL-terminated (a field of the datagram).
inline tftp_option find_option(std::string_view name) {
  for (const option_name_t &known : TFTP_OPTIONS)
    if (strcasecmp(name.data(), known.name) == 0) return known.option;
  return tftp_option::other;
}
