// SPDX-License-Identifier: BSD-2-Clause
// The report's JSON strings: escapes as JSON asks, and every byte that is
// not part of valid UTF-8 kept as a surrogate escape, so that no name is
// lost or mistaken for another.

#include <gtest/gtest.h>

#include <string>

#include "report/json.h"

namespace {

struct json_case {
  const char *name;
  std::string in;
  std::string out;
};

class JsonString : public ::testing::TestWithParam<json_case> {};

TEST_P(JsonString, Escapes) {
  std::string out;
  json_string(out, GetParam().in);
  EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonString,
    ::testing::Values(json_case{"Plain", "boot.img", "\"boot.img\""},
                      json_case{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
                      json_case{"ControlCharacters", std::string("\n\t\x01\x7f", 4), "\"\\n\\t\\u0001\\u007f\""},
                      json_case{"NulInside", std::string("a\0b", 3), "\"a\\u0000b\""},
                      json_case{"ValidSequencesKept", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                                "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
                      json_case{"Latin1Byte", "caf\xe9", "\"caf\\udce9\""},
                      json_case{"LoneContinuation", "\x80x", "\"\\udc80x\""},
                      json_case{"Overlong", "\xc0\x80", "\"\\udcc0\\udc80\""},
                      json_case{"Surrogate", "\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},
                      json_case{"BeyondUnicode", "\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
                      json_case{"CutAtTheEnd", "a\xe2\x82", "\"a\\udce2\\udc82\""}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
