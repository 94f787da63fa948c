// SPDX-License-Identifier: BSD-2-Clause
#include "report/json.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at the start of `s`, or 0: no
// overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8_sequence(std::string_view s) {
  const auto byte = [&s](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t n;
  std::uint8_t low = 0x80, high = 0xbf;  // range of the second byte
  if (b0 >= 0xc2 && b0 <= 0xdf) n = 2;
  else if (b0 == 0xe0) n = 3, low = 0xa0;
  else if (b0 >= 0xe1 && b0 <= 0xef) n = 3, high = b0 == 0xed ? 0x9f : 0xbf;
  else if (b0 == 0xf0) n = 4, low = 0x90;
  else if (b0 >= 0xf1 && b0 <= 0xf3) n = 4;
  else if (b0 == 0xf4) n = 4, high = 0x8f;
  else return 0;
  if (s.size() < n || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  return n;
}

void escape(std::string &out, const char *format, unsigned value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, format, value);
  out += buf;
}

}  // namespace

void json_string(std::string &out, std::string_view s) {
  out += '"';
  while (!s.empty()) {
    const auto c = static_cast<std::uint8_t>(s[0]);
    const std::size_t n = utf8_sequence(s);
    if (n == 0) {
      escape(out, "\\udc%02x", c);
      s.remove_prefix(1);
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      escape(out, "\\u%04x", c);
    } else {
      out.append(s.data(), n);
    }
    s.remove_prefix(n);
  }
  out += '"';
}
