// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string>
#include <string_view>

// Appends `bytes` to `out` as a JSON string, quotes included. Quotes,
// backslashes and control characters are escaped as JSON asks; bytes that
// are not part of valid UTF-8 are written as \udcXX, XX being the byte in
// hexadecimal (the surrogate-escape convention: such a string decodes back
// to the exact bytes, e.g. with Python's errors="surrogateescape").
void json_string(std::string &out, std::string_view bytes);
