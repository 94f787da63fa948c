// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "capture_builder.h"
#include "tftp/parse_request.h"

namespace {

using namespace capture_builder;

struct parsed {
  int result;
  request_template_t request{};
  tftp_msg_t msg{};
};

parsed parse(const bytes &payload) {
  parsed p{};
  p.result = parse_request(bytes_t{payload}, p.request, p.msg);
  return p;
}

std::optional<std::string> text_of(const char *t) { return t ? std::optional<std::string>(t) : std::nullopt; }

struct request_case {
  const char *name;
  bytes payload;
  int result;
  // Checked only for a recognised request.
  int op = 1;
  const char *filename = "f";
  const char *mode = "octet";
  std::optional<std::string> blksize = std::nullopt;
  std::optional<std::string> timeout = std::nullopt;
  std::optional<std::string> tsize = std::nullopt;
};

void PrintTo(const request_case &c, std::ostream *os) { *os << c.name; }

class ParseRequest : public ::testing::TestWithParam<request_case> {};

TEST_P(ParseRequest, Recognition) {
  const auto &c = GetParam();
  const parsed p = parse(c.payload);
  ASSERT_EQ(p.result, c.result);
  if (c.result == 0) return;
  EXPECT_EQ(static_cast<int>(p.request.op), c.op);
  EXPECT_STREQ(p.request.filename, c.filename);
  EXPECT_STREQ(p.request.mode, c.mode);
  EXPECT_EQ(text_of(p.msg.blksize), c.blksize);
  EXPECT_EQ(text_of(p.msg.timeout), c.timeout);
  EXPECT_EQ(text_of(p.msg.tsize), c.tsize);
}

const bytes rrq_f = tftp::rrq("f");  // 00 01 'f' 00 "octet" 00

INSTANTIATE_TEST_SUITE_P(
    Rules, ParseRequest,
    ::testing::Values(
        request_case{"ReadRequest", rrq_f, 1},
        request_case{"WriteRequest", tftp::wrq("f"), 1, 2},
        // Nine bytes is the shortest request; eight never is one.
        request_case{"NineBytesMail", tftp::rrq("f", "mail"), 1, 1, "f", "mail"},
        request_case{"EightBytes", slice(tftp::rrq("f", "mail"), 0, 8), 0},
        // The opcode: a zero byte, then 1 or 2.
        request_case{"OpcodeHighByteSet", hex("01 01") + slice(rrq_f, 2, 20), 0},
        request_case{"OpcodeThree", hex("00 03") + slice(rrq_f, 2, 20), 0},
        // The file name.
        request_case{"EmptyFileName", be16(1) + cstr("") + cstr("octet"), 0},
        request_case{"FileNameKeptAsSent", tftp::rrq("dir/\xc3\xa9t\xe9.bin"), 1, 1, "dir/\xc3\xa9t\xe9.bin"},
        // The mode: one of three, in any case, kept as written.
        request_case{"ModeInCapitals", tftp::rrq("f", "NETASCII"), 1, 1, "f", "NETASCII"},
        request_case{"ModeInMixedCase", tftp::rrq("f", "OcTeT"), 1, 1, "f", "OcTeT"},
        request_case{"OtherMode", tftp::rrq("f", "image"), 0},
        request_case{"EmptyMode", be16(1) + cstr("f") + cstr("") + cstr("blksize") + cstr("8"), 0},
        request_case{"ModeWithoutNul", be16(1) + cstr("f") + text("octet"), 0},
        // Options: the state at the end decides.
        request_case{"OneExtraNul", rrq_f + bytes{0}, 0},
        request_case{"TwoExtraNuls", rrq_f + bytes{0, 0}, 1},
        request_case{"UnterminatedNameAfterMode", rrq_f + text("blk"), 1},
        request_case{"BlksizeWithTrailingBytes", rrq_f + cstr("blksize") + cstr("600") + text("xy"), 1, 1, "f",
                     "octet", "600"},
        request_case{"BlksizeWithoutValue", rrq_f + cstr("blksize"), 0},
        request_case{"BlksizeValueWithoutNul", rrq_f + cstr("blksize") + text("600"), 0},
        request_case{"UnknownOptionSkipped", rrq_f + cstr("rollover") + cstr("1") + cstr("tsize") + cstr("0"), 1,
                     1, "f", "octet", std::nullopt, std::nullopt, "0"},
        request_case{"UnknownOptionWithoutValue", rrq_f + cstr("rollover"), 0},
        request_case{"AllThreeInAnyOrder",
                     rrq_f + cstr("tsize") + cstr("1234") + cstr("TIMEOUT") + cstr("5") + cstr("BlkSize") +
                         cstr("1428"),
                     1, 1, "f", "octet", "1428", "5", "1234"},
        request_case{"LaterValueWins", rrq_f + cstr("timeout") + cstr("5") + cstr("timeout") + cstr("7"), 1, 1, "f",
                     "octet", std::nullopt, "7"},
        request_case{"EmptyValueTaken", rrq_f + cstr("tsize") + cstr(""), 1, 1, "f", "octet", std::nullopt,
                     std::nullopt, ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ParseRequest, TextsPointIntoThePayload) {
  const bytes payload = tftp::rrq("f", "octet", {{"blksize", "600"}});
  const parsed p = parse(payload);
  ASSERT_EQ(p.result, 1);
  const auto *begin = reinterpret_cast<const char *>(payload.data());
  EXPECT_EQ(p.request.filename, begin + 2);
  EXPECT_EQ(p.request.mode, begin + 4);
  EXPECT_EQ(p.msg.blksize, begin + 18);
}

}  // namespace
