// SPDX-License-Identifier: BSD-2-Clause
#include "input/filter.h"

#include <cstring>
#include <new>

#include "base/log.h"

const char *filter_first_word = nullptr;

std::string compose_filter(int count, char *const words[]) {
  if (count <= 0) return "udp";
  filter_first_word = words[0];
  // "udp" and " and ", then each word and its separator.
  std::size_t total = 8;
  for (int i = 0; i < count; ++i) {
    const std::size_t add = std::strlen(words[i]) + 1;
    if (total + add < total) log_error(3, "expression too long");
    total += add;
  }
  std::string text;
  try {
    text.reserve(total + 1);
  } catch (const std::bad_alloc &) {
    log_error(2, "unable to allocate memory for filter expression");
  }
  text = "udp and ";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ' ';
    text += words[i];
  }
  return text;
}
