// SPDX-License-Identifier: BSD-2-Clause
// The IPv6 side of ip_address: one value per distinct address, never equal
// to an IPv4 address, and its three text forms.

#include <gtest/gtest.h>

#include <string>

#include "base/address.h"
#include "capture_builder.h"

namespace {

ip_address v6(const std::string &text) { return ip_address::from_v6(capture_builder::ipv6_addr(text).data()); }
ip_address v4(const std::string &dotted) { return ip_address::from_v4(capture_builder::ipv4_addr(dotted)); }

struct text_case {
  const char *address;
  const char *trace;  // to_text, and debug_text
  const char *name;   // name_text
};

void PrintTo(const text_case &c, std::ostream *os) { *os << c.address; }

class Ipv6Text : public ::testing::TestWithParam<text_case> {};

TEST_P(Ipv6Text, Forms) {
  const text_case &c = GetParam();
  const ip_address a = v6(c.address);
  EXPECT_EQ(std::string(to_text(a).text), c.trace);
  EXPECT_EQ(std::string(debug_text(a).text), c.trace);
  EXPECT_EQ(std::string(name_text(a).text), c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Ipv6Text,
    ::testing::Values(
        text_case{"::", "::", "0000.0000.0000.0000.0000.0000.0000.0000"},
        text_case{"::1", "::1", "0000.0000.0000.0000.0000.0000.0000.0001"},
        text_case{"fd00::2", "fd00::2", "fd00.0000.0000.0000.0000.0000.0000.0002"},
        // The longest run of zero groups is the one left out; hex in lower case.
        text_case{"2001:DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1", "2001.0db8.0000.0000.0001.0000.0000.0001"},
        text_case{"::ffff:10.0.0.1", "::ffff:10.0.0.1", "0000.0000.0000.0000.0000.ffff.0a00.0001"},
        text_case{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
                  "ffff.ffff.ffff.ffff.ffff.ffff.ffff.ffff"}));

TEST(Ipv6Address, OneValuePerAddress) {
  EXPECT_EQ(v6("fd00::1"), v6("fd00:0::1"));
  EXPECT_EQ(v6("fd00::1").hash_bits(), v6("fd00::1").hash_bits());
  EXPECT_NE(v6("fd00::1"), v6("fd00::2"));
  EXPECT_TRUE(v6("fd00::1").is_v6());
  // Addresses of one network differ in their last bytes only.
  for (int i = 1; i < 300; ++i) EXPECT_NE(v6("fd00::" + std::to_string(i)), v6("fd00::" + std::to_string(i + 1)));
  EXPECT_EQ(std::string(to_text(v6("fd00::123")).text), "fd00::123");
}

TEST(Ipv6Address, NeverAnIpv4Address) {
  // Whatever number the table gives, the tag keeps it apart.
  EXPECT_NE(v6("::"), v4("0.0.0.0"));
  EXPECT_NE(v6("::a00:1"), v4("10.0.0.1"));
  EXPECT_NE(v6("::ffff:10.0.0.1"), v4("10.0.0.1"));
  EXPECT_FALSE(v6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff").is_limited_broadcast());
  EXPECT_FALSE(v4("10.0.0.1").is_v6());
}

TEST(Ipv4Address, FormsAsBefore) {
  const ip_address a = v4("10.0.0.1");
  EXPECT_EQ(std::string(to_text(a).text), "10.0.0.1");
  EXPECT_EQ(std::string(debug_text(a).text), "a000001");
  EXPECT_EQ(std::string(name_text(a).text), "010.000.000.001");
  // The transfer index mixes these bits: an IPv4 address's are its own.
  EXPECT_EQ(a.hash_bits(), 0x0a000001u);
}

}  // namespace
