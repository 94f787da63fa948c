// SPDX-License-Identifier: BSD-2-Clause
#include <cctype>
#include <cstdio>
#include <cstring>

#include "report/dump.h"

namespace {

constexpr std::size_t LINE_BYTES = 16;
constexpr int GROUPS = 8;

char shown(std::uint8_t c) { return (c >= 0x21 && c <= 0x7e) ? static_cast<char>(c) : '.'; }

// One line being built: a hex column of 8 groups of 5 characters and an
// ASCII column of 8 groups of 2.
struct dump_line {
  char hex[GROUPS * 5 + 1];
  char ascii[GROUPS * 2 + 1];
  int groups = 0;

  void add_pair(std::uint8_t a, std::uint8_t b) {
    std::snprintf(hex + groups * 5, 6, " %02x%02x", a, b);
    ascii[groups * 2] = shown(a);
    ascii[groups * 2 + 1] = shown(b);
    ++groups;
  }
  void add_odd(std::uint8_t a) {
    std::snprintf(hex + groups * 5, 6, " %02x  ", a);
    ascii[groups * 2] = shown(a);
    ascii[groups * 2 + 1] = ' ';
    ++groups;
  }
  void print(std::size_t offset) {
    for (int g = groups; g < GROUPS; ++g) {
      std::memcpy(hex + g * 5, "     ", 5);
      std::memcpy(ascii + g * 2, "  ", 2);
    }
    hex[GROUPS * 5] = '\0';
    ascii[GROUPS * 2] = '\0';
    std::printf("\t0x%04X: %s  %s\n", static_cast<unsigned>(offset), hex, ascii);
    groups = 0;
  }
};

bool same_block(const std::uint8_t *a, const std::uint8_t *b) { return std::memcmp(a, b, LINE_BYTES) == 0; }

}  // namespace

void hex_dump(bytes_t bytes) {
  const std::uint8_t *p = bytes.data();
  const std::size_t n = bytes.size();
  dump_line line;
  std::size_t offset = 0;  // of the current line's first byte
  std::size_t at = 0;
  while (n - at >= 2) {
    line.add_pair(p[at], p[at + 1]);
    at += 2;
    if (line.groups < GROUPS) continue;
    line.print(offset);
    offset = at;
    // Repeat rule: a run of complete lines equal to the one just printed
    // collapses into one "\t*".
    if (n - at >= LINE_BYTES && same_block(p + at - LINE_BYTES, p + at)) {
      std::printf("\t*\n");
      at += LINE_BYTES;
      while (n - at >= LINE_BYTES && same_block(p + at - LINE_BYTES, p + at)) at += LINE_BYTES;
      offset = at;
    }
  }
  if (n - at == 1) {
    line.add_odd(p[at]);
    line.print(offset);
  } else if (line.groups > 0) {
    line.print(offset);
  } else {
    std::printf("\t0x%04X:\n", static_cast<unsigned>(n));
  }
  std::fflush(stdout);
}
