// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <string>

#include "capture_builder.h"
#include "capture_fd.h"
#include "report/dump.h"

namespace {

using capture_builder::bytes;
using capture_builder::operator+;
using capture_builder::fill;
using capture_builder::text;

std::string dump(const bytes &b) {
  return capture_fd(1, [&] { hex_dump(bytes_t{b}); });
}

std::string spaces(std::size_t n) { return std::string(n, ' '); }

const std::string zero_line = "\t0x0000:  0000 0000 0000 0000 0000 0000 0000 0000  " + std::string(16, '.') + "\n";

TEST(HexDump, Empty) { EXPECT_EQ(dump({}), "\t0x0000:\n"); }

TEST(HexDump, OddByteAndPadding) {
  EXPECT_EQ(dump(text("abcde")), "\t0x0000:  6162 6364 65" + spaces(29) + "abcde" + spaces(11) + "\n");
}

TEST(HexDump, AckOfBlockSeven) {
  EXPECT_EQ(dump({0, 4, 0, 7}), "\t0x0000:  0004 0007" + spaces(32) + "...." + spaces(12) + "\n");
}

TEST(HexDump, FullLineEndsWithBareOffsetLine) {
  EXPECT_EQ(dump(text("ABCDEFGHIJKLMNOP")),
            "\t0x0000:  4142 4344 4546 4748 494a 4b4c 4d4e 4f50  ABCDEFGHIJKLMNOP\n\t0x0010:\n");
}

TEST(HexDump, OddByteFillsLastGroupWithoutPadding) {
  EXPECT_EQ(dump(text("ABCDEFGHIJKLMNO")),
            "\t0x0000:  4142 4344 4546 4748 494a 4b4c 4d4e 4f    ABCDEFGHIJKLMNO \n");
}

TEST(HexDump, RepeatedLinesCollapse) {
  EXPECT_EQ(dump(fill(40, 0)), zero_line + "\t*\n\t0x0020:  0000 0000 0000 0000" + spaces(22) + std::string(8, '.') +
                                   spaces(8) + "\n");
  EXPECT_EQ(dump(fill(32, 0)), zero_line + "\t*\n\t0x0020:\n");
  EXPECT_EQ(dump(fill(49, 0)),
            zero_line + "\t*\n\t0x0030:  00" + spaces(2 + 35 + 2) + "." + spaces(1 + 14) + "\n");
}

TEST(HexDump, OnlyTheLineDirectlyBeforeIsCompared) {
  const bytes a = text("AAAAAAAAAAAAAAAA"), b = text("BBBBBBBBBBBBBBBB"), c = text("CCCCCCCCCCCCCCCC");
  auto line = [](const char *offset, const char *hex_pair, char ch) {
    std::string hex;
    for (int g = 0; g < 8; ++g) hex += std::string(" ") + hex_pair;
    return std::string("\t0x") + offset + ": " + hex + "  " + std::string(16, ch) + "\n";
  };
  EXPECT_EQ(dump(a + b + c + c),
            line("0000", "4141", 'A') + line("0010", "4242", 'B') + line("0020", "4343", 'C') + "\t*\n\t0x0040:\n");
  EXPECT_EQ(dump(a + b + a), line("0000", "4141", 'A') + line("0010", "4242", 'B') + line("0020", "4141", 'A') +
                                 "\t0x0030:\n");
  // A whole run of equal lines is one "\t*"; the offset picks up after it.
  EXPECT_EQ(dump(a + a + a + a + b), line("0000", "4141", 'A') + "\t*\n" + line("0040", "4242", 'B') + "\t0x0050:\n");
}

TEST(HexDump, ShortLastBlockIsNeverSkipped) {
  const bytes a = text("AAAAAAAAAAAAAAAA");
  EXPECT_EQ(dump(a + text("AAAAAAAAAAAAAAA")),
            "\t0x0000:  4141 4141 4141 4141 4141 4141 4141 4141  AAAAAAAAAAAAAAAA\n"
            "\t0x0010:  4141 4141 4141 4141 4141 4141 4141 41    AAAAAAAAAAAAAAA \n");
}

TEST(HexDump, OnlyGraphicCharactersShow) {
  EXPECT_EQ(dump({0x20, 0x21, 0x7e, 0x7f, 0x80, 0xff}),
            "\t0x0000:  2021 7e7f 80ff" + spaces(25 + 2) + ".!~..." + spaces(10) + "\n");
}

}  // namespace
