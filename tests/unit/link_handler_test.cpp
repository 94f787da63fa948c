// SPDX-License-Identifier: BSD-2-Clause
// The minimum-length checks of the link-layer handlers for frames that
// libpcap's "udp" filter never lets through (the filter reads past them).

#include <gtest/gtest.h>

#include <string>

#include "capture_fd.h"
#include "decode/link.h"

namespace {

std::string run(packet_handler handler, std::uint32_t caplen, std::uint32_t len) {
  const std::uint8_t frame[64] = {};
  pcap_pkthdr header{};
  header.caplen = caplen;
  header.len = len;
  return capture_fd(2, [&] { handler(nullptr, &header, frame); });
}

TEST(LinkHandlers, EthernetMinimumComesBeforeCaptureLength) {
  EXPECT_EQ(run(ether_handler, 13, 13), "[warning] ethernet is not valid; 13 bytes, but should be at least 14\n");
  EXPECT_EQ(run(ether_handler, 13, 100), "[warning] ethernet is not valid; 13 bytes, but should be at least 14\n");
}

TEST(LinkHandlers, NullNeedsItsFamily) {
  EXPECT_EQ(run(null_handler, 3, 3), "[warning] null is not valid; 3 bytes, but should be at least 4\n");
  EXPECT_EQ(run(null_handler, 2, 3), "[warning] only 2 bytes of 3 bytes were captured\n");
}

TEST(LinkHandlers, CookedHeaders) {
  EXPECT_EQ(run(sll_handler, 15, 15), "[warning] linux_sll is not valid; 15 bytes, but should be at least 16\n");
  EXPECT_EQ(run(sll2_handler, 19, 19), "[warning] linux_sll2 is not valid; 19 bytes, but should be at least 20\n");
}

TEST(LinkHandlers, Ppp) {
  EXPECT_EQ(run(ppp_handler, 3, 3), "[warning] ppp is not valid; 3 bytes, but should be at least 4\n");
}

}  // namespace
