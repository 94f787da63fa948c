// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/cursor.h"
#include "decode/ip6_origin.h"

// Validates the IPv6 packet behind a link header, walks its extension
// headers and hands its UDP datagram on, whole or after reassembly. `packet`
// holds exactly the captured bytes. Only called with -6.
void decode_ip6(bytes_t packet);

// Field offsets of the fixed IPv6 header.
inline constexpr std::size_t IP6_HEADER_LEN = 40;
inline constexpr std::size_t IP6_PAYLOAD_LENGTH = 4;
inline constexpr std::size_t IP6_NEXT_HEADER = 6;
inline constexpr std::size_t IP6_SRC = 8;
inline constexpr std::size_t IP6_DST = 24;
inline constexpr std::size_t IP6_ADDRESS_LEN = 16;

inline constexpr std::uint8_t IP6_HOP_BY_HOP = 0;
inline constexpr std::uint8_t IP6_ROUTING = 43;
inline constexpr std::uint8_t IP6_FRAGMENT = 44;
inline constexpr std::uint8_t IP6_DESTINATION_OPTIONS = 60;
inline constexpr std::size_t IP6_FRAGMENT_HEADER_LEN = 8;

// Extension headers followed in one packet (or one reassembled datagram)
// before it is given up; each costs a few reads, and a real packet carries
// two or three at most.
inline constexpr int IP6_MAX_EXTENSION_HEADERS = 8;

// The walk over a chain of extension headers: hop-by-hop, routing and
// destination options are stepped over; it stops at any other header (a
// fragment header, UDP, or something else), at a header that does not fit,
// or past IP6_MAX_EXTENSION_HEADERS. Reads nothing outside `region` and
// warns about nothing: the decoder and the filter's view both use it.
class ip6_header_walk {
 public:
  enum class stop { header, cut, too_many };

  ip6_header_walk(bytes_t region, std::uint8_t first) : region_(region), protocol_(first) {}

  // Steps over the headers from where the walk stands.
  stop run();
  // Goes on behind a fragment header that the caller has read.
  void resume(std::uint8_t next, std::size_t at) {
    protocol_ = next;
    at_ = at;
    ++headers_;
  }

  std::uint8_t protocol() const { return protocol_; }  // the header stopped at
  std::size_t at() const { return at_; }               // where it starts in the region
  // For a cut header: the bytes left where it starts, and those it needs
  // (2 while its length byte is missing).
  std::size_t left() const { return region_.size() - at_; }
  std::size_t needed() const { return needed_; }
  // Where a routing header that has addresses left to visit names the
  // final destination, or npos.
  std::size_t final_destination_at() const { return final_destination_at_; }

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

 private:
  void note_routing(bytes_t header);

  bytes_t region_;
  std::uint8_t protocol_;
  std::size_t at_ = 0;
  std::size_t needed_ = 0;
  int headers_ = 0;
  std::size_t final_destination_at_ = npos;
};

// How the filter sees an IPv6 packet (see frame.cpp): the bytes
// [IP6_HEADER_LEN, IP6_HEADER_LEN + cut) are left out and the fixed
// header's next header becomes `next_header`, its payload length shrinks by
// `cut`; with `fragment_next`, the fragment header that then follows has its
// next header replaced by that value. `cut` 0: the packet is seen as it is.
struct ip6_filter_form {
  std::size_t cut = 0;
  std::uint8_t next_header = 0;
  bool patch_fragment = false;
  std::uint8_t fragment_next = 0;
};

ip6_filter_form ip6_form_for_filter(bytes_t packet);
