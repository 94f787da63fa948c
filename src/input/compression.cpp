// SPDX-License-Identifier: BSD-2-Clause
#include "input/compression.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

struct magic {
  compression kind;
  std::size_t len;
  std::array<std::uint8_t, COMPRESSION_MAGIC_LEN> bytes;
};

// xz's magic is six bytes; its first four already tell it from a capture
// file's and from the others.
constexpr magic MAGICS[] = {
    {compression::gzip, 2, {0x1f, 0x8b}},
    {compression::bzip2, 3, {'B', 'Z', 'h'}},
    {compression::xz, 4, {0xfd, '7', 'z', 'X'}},
    {compression::zstd, 4, {0x28, 0xb5, 0x2f, 0xfd}},
    {compression::lz4, 4, {0x04, 0x22, 0x4d, 0x18}},
};

}  // namespace

compression compression_of(const std::uint8_t *prefix, std::size_t n) {
  for (const magic &m : MAGICS)
    if (n >= m.len && std::equal(m.bytes.begin(), m.bytes.begin() + m.len, prefix)) return m.kind;
  return compression::none;
}
