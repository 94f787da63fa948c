// SPDX-License-Identifier: BSD-2-Clause
// What the verdict prints from hostile input, and the flow ids that join
// the report with other tools' logs.

#include <gtest/gtest.h>

#include <string>

#include "base/wire_text.h"
#include "report/community_id.h"

namespace {

TEST(WireText, ControlBytesAreEscapedOthersKept) {
  EXPECT_STREQ(wire_text("boot/pxelinux.0").c_str(), "boot/pxelinux.0");
  EXPECT_STREQ(wire_text("\x1b]0;x\x07\x1b[2J").c_str(), "\\x1b]0;x\\x07\\x1b[2J");
  EXPECT_STREQ(wire_text("a\nb\r\x7f\x1f ").c_str(), "a\\x0ab\\x0d\\x7f\\x1f ");
  // Bytes past ASCII and printable punctuation print as they came.
  EXPECT_STREQ(wire_text("caf\xe9\\\"%s").c_str(), "caf\xe9\\\"%s");
  EXPECT_STREQ(wire_text(std::string_view("a\0b", 3)).c_str(), "a\\x00b");
}

endpoint_t v4(std::uint32_t host_order, std::uint16_t port) { return {ip_address::from_v4(host_order), port}; }

TEST(CommunityId, PublishedVectorInEitherDirection) {
  const endpoint_t a = v4(0xc0a8012a, 4242);  // 192.168.1.42
  const endpoint_t b = v4(0x08080808, 53);
  EXPECT_STREQ(udp_community_id(a, b).text.data(), "1:vTdrngJjlP5eZ9mw9JtnKyn99KM=");
  EXPECT_STREQ(udp_community_id(b, a).text.data(), "1:vTdrngJjlP5eZ9mw9JtnKyn99KM=");
}

TEST(CommunityId, SameAddressOrderedByPort) {
  const endpoint_t a = v4(0x0a000001, 1025);
  const endpoint_t b = v4(0x0a000001, 69);
  EXPECT_STREQ(udp_community_id(a, b).text.data(), udp_community_id(b, a).text.data());
  EXPECT_STRNE(udp_community_id(a, b).text.data(), udp_community_id(a, v4(0x0a000001, 70)).text.data());
}

}  // namespace
