// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// The input of fuzz_frames, shared with the converter frames_pcap:
//
//   byte 0   link type, an index into LINK_TYPES (taken modulo its size)
//   byte 1   option bits: see OPT_*
//   byte 2   bits 0-1 verbose level, bits 2-7 debug level (modulo 7)
//   then frames, each:
//     caplen  big-endian 16 bits (cut to the bytes that are left)
//     len     big-endian 16 bits, the wire length; 0 stands for caplen, so
//             that a mutated caplen still gives a frame captured whole
//     caplen bytes of frame
//
// Frames of one input go through one run: transfers, fragment records and
// pending blocks carry over from frame to frame as in a capture.

#include <array>
#include <cstddef>
#include <cstdint>

namespace frames_format {

inline constexpr std::array<int, 7> LINK_TYPES{0, 1, 6, 9, 12, 113, 276};

// The value a capture file stores for each link type (raw IPv4 has a file
// value of its own).
inline constexpr std::array<std::uint32_t, 7> FILE_LINK_TYPES{0, 1, 6, 9, 101, 113, 276};

inline constexpr std::uint8_t OPT_CHECK_CHECKSUMS = 1;  // -B
inline constexpr std::uint8_t OPT_PRINT_CONSOLE = 2;    // -c
inline constexpr std::uint8_t OPT_OVERWRITE = 4;        // -f
inline constexpr std::uint8_t OPT_DUMP_PACKETS = 8;     // -X
inline constexpr std::uint8_t OPT_NO_FILENAME = 16;     // -E
// Not an option of the tool: transfer chains split and fragment pieces
// indexed from the first record and piece, so that the indexed lookups are
// fuzzed on small inputs too. They must find what the walks find.
inline constexpr std::uint8_t OPT_INDEX_EARLY = 32;
inline constexpr std::uint8_t OPT_IPV6 = 64;  // -6
// Not an option of the tool either: the frames go through the "udp" filter
// compiled for the link type, as the tool's do. Without it every frame
// reaches its handler, filtered or not; VLAN tags are taken off, and with
// -6 the filter's view of IPv6 is made, either way.
inline constexpr std::uint8_t OPT_FILTER = 128;

inline constexpr std::size_t PREAMBLE = 3;
inline constexpr std::size_t FRAME_HEADER = 4;

struct frame_t {
  const std::uint8_t *bytes;
  std::uint32_t caplen;
  std::uint32_t len;
};

// Walks the frames of an input; next() returns false at the end.
class frame_reader {
 public:
  frame_reader(const std::uint8_t *data, std::size_t size)
      : data_(data), size_(size), at_(size < PREAMBLE ? size : PREAMBLE) {}

  bool next(frame_t &frame) {
    if (size_ - at_ < FRAME_HEADER) return false;
    const std::uint8_t *h = data_ + at_;
    std::uint32_t caplen = static_cast<std::uint32_t>(h[0] << 8 | h[1]);
    const std::uint32_t len = static_cast<std::uint32_t>(h[2] << 8 | h[3]);
    at_ += FRAME_HEADER;
    if (caplen > size_ - at_) caplen = static_cast<std::uint32_t>(size_ - at_);
    frame = {data_ + at_, caplen, len == 0 ? caplen : len};
    at_ += caplen;
    return true;
  }

 private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t at_;
};

}  // namespace frames_format
