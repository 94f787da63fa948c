// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>

// How a capture stream is compressed, told by its first bytes and never by
// a file's name (rotated captures are named whatever the rotation chose).
enum class compression { none, gzip, bzip2, xz, zstd, lz4 };

// The longest prefix that tells the compressions apart.
inline constexpr std::size_t COMPRESSION_MAGIC_LEN = 4;

// The compression that `prefix` (the first bytes of a stream, fewer at its
// end) starts with; `none` for anything else, a capture file included.
compression compression_of(const std::uint8_t *prefix, std::size_t n);
