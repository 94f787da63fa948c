// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string>
#include <string_view>

// Text read from a capture, made safe to print on a terminal or in a line
// that scripts split: a control byte (0x00-0x1f, 0x7f) would retitle or
// clear the reader's terminal, or forge a line of its own, so it prints as
// \xHH. Every other byte prints as it came.
class wire_text {
 public:
  explicit wire_text(std::string_view raw);
  wire_text(const char *raw) : wire_text(std::string_view(raw ? raw : "")) {}
  const char *c_str() const { return text_.c_str(); }

 private:
  std::string text_;
};

// Appends `raw` to `out` escaped as wire_text does.
void append_wire_text(std::string &out, std::string_view raw);
