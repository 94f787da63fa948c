// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The unit the cache moves memory in.
inline constexpr std::size_t CACHE_LINE = 64;

// Copies a block into a write buffer without reading the buffer's lines
// into the cache first. With thousands of files in progress the buffers are
// far larger than the cache, so each line a block lands on is cold: an
// ordinary copy fetches it from memory only to overwrite it, and the stores
// queue behind those fetches and stall whatever comes next. Whole lines are
// written with streaming stores, which skip the fetch; the partial lines at
// either end are copied as usual. Only this thread reads the buffers back,
// and a processor always sees its own stores, streaming or not.
inline void copy_to_cold(std::uint8_t *dst, const std::uint8_t *src, std::size_t n) {
#if defined(__SSE2__)
  const std::size_t head = (CACHE_LINE - reinterpret_cast<std::uintptr_t>(dst) % CACHE_LINE) % CACHE_LINE;
  if (n < head + CACHE_LINE) {
    std::memcpy(dst, src, n);
    return;
  }
  std::memcpy(dst, src, head);
  dst += head, src += head, n -= head;
  for (; n >= CACHE_LINE; dst += CACHE_LINE, src += CACHE_LINE, n -= CACHE_LINE) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 48));
    _mm_stream_si128(reinterpret_cast<__m128i *>(dst), a);
    _mm_stream_si128(reinterpret_cast<__m128i *>(dst + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i *>(dst + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i *>(dst + 48), d);
  }
  std::memcpy(dst, src, n);
#else
  std::memcpy(dst, src, n);
#endif
}
