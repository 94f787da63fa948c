// SPDX-License-Identifier: BSD-2-Clause
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "capture_builder.h"
#include "decode/udp.h"

namespace {

using namespace capture_builder;

// The header of a packet to 10.0.0.2 (the next hop) with the given options.
bytes header_with(const bytes &options) {
  auto p = ipv4("10.0.0.1", "10.0.0.2", bytes{});
  p.options = options;
  return p.build();
}

std::string destination_of(const bytes &header) {
  return dotted(ntohl(final_destination(bytes_t{header})));
}

struct route_case {
  const char *name;
  bytes options;
  const char *expected;
};

void PrintTo(const route_case &c, std::ostream *os) { *os << c.name; }

class FinalDestination : public ::testing::TestWithParam<route_case> {};

TEST_P(FinalDestination, PseudoHeaderAddress) {
  EXPECT_EQ(destination_of(header_with(GetParam().options)), GetParam().expected);
}

const bytes route_end = be32(ipv4_addr("10.0.0.9"));

INSTANTIATE_TEST_SUITE_P(
    Options, FinalDestination,
    ::testing::Values(
        route_case{"NoOptions", {}, "10.0.0.2"},
        route_case{"LooseRouteEnd", loose_source_route({"10.0.0.5", "10.0.0.9"}), "10.0.0.9"},
        route_case{"StrictRouteEnd", strict_source_route({"10.0.0.5", "10.0.0.9"}), "10.0.0.9"},
        route_case{"PointerPastFirstHop", loose_source_route({"10.0.0.5", "10.0.0.9"}, 8), "10.0.0.9"},
        route_case{"PointerOneBeyondLength", loose_source_route({"10.0.0.5", "10.0.0.9"}, 12), "10.0.0.2"},
        route_case{"RouteOfLengthThree", loose_source_route({}), "10.0.0.2"},
        route_case{"PointerThree", loose_source_route({"10.0.0.9"}, 3), "10.0.0.2"},
        route_case{"PointerNotMultipleOfFour", loose_source_route({"10.0.0.5", "10.0.0.9"}, 6), "10.0.0.2"},
        route_case{"RouteEndingInZero", loose_source_route({"10.0.0.5", "0.0.0.0"}), "10.0.0.2"},
        route_case{"RecordRouteSkipped", record_route(1) + loose_source_route({"10.0.0.9"}), "10.0.0.9"},
        route_case{"NoOperationSkipped", bytes{1} + loose_source_route({"10.0.0.9"}), "10.0.0.9"},
        route_case{"EndOfOptionsStops", bytes{0} + loose_source_route({"10.0.0.9"}), "10.0.0.2"},
        // Only the first source route decides, even when it is unusable.
        route_case{"FirstSourceRouteDecides",
                   loose_source_route({"10.0.0.9"}, 3) + bytes{1} + strict_source_route({"10.0.0.7"}),
                   "10.0.0.2"},
        route_case{"LengthBelowTwoStops", bytes{68, 1, 0, 0} + loose_source_route({"10.0.0.9"}), "10.0.0.2"},
        // Three no-operations and a route whose length runs past the
        // 12 option bytes of the header.
        route_case{"OptionRunningPastHeaderStops",
                   bytes{1, 1, 1, 131, 11, 4} + be32(ipv4_addr("10.0.0.5")) + bytes{10, 0}, "10.0.0.2"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FinalDestination, OptionLengthBeyondOptionAreaStops) {
  // A route whose length byte (15) exceeds the 8 option bytes.
  EXPECT_EQ(destination_of(header_with(bytes{131, 15, 4, 0} + route_end)), "10.0.0.2");
}

TEST(FinalDestination, HeaderCopyWithoutOptionsUsesItsDestination) {
  // A reassembled datagram's 20-byte header copy keeps its header-length
  // nibble; there are no option bytes behind it to read.
  auto p = ipv4("10.0.0.1", "10.0.0.2", bytes{});
  p.options = loose_source_route({"10.0.0.9"});
  const bytes copy = slice(p.build(), 0, 20);
  EXPECT_EQ(destination_of(copy), "10.0.0.2");
}

}  // namespace
