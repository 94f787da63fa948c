// SPDX-License-Identifier: BSD-2-Clause
#include "base/wire_text.h"

namespace {

bool control_byte(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

void append_wire_text(std::string &out, std::string_view raw) {
  static constexpr char digits[] = "0123456789abcdef";
  for (const char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if (!control_byte(c)) {
      out += ch;
      continue;
    }
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 15];
  }
}

wire_text::wire_text(std::string_view raw) {
  text_.reserve(raw.size());
  append_wire_text(text_, raw);
}
