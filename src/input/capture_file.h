// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <pcap/pcap.h>

#include <cstddef>

// The read buffer of one capture stream. libpcap reads a capture in pieces
// of the stream's buffer size, one system call each; on captures of
// gigabytes a larger buffer saves most of them. 64 KiB saves 15 calls in 16
// and still fits in the cache it is copied from. A read from a pipe still
// returns what is there, so live input is not held back.
inline constexpr std::size_t CAPTURE_BUFFER = 1 << 16;

// Opens the capture file `path` ("-": standard input) as pcap_open_offline
// would, reading it through `buffer` (CAPTURE_BUFFER bytes, which must
// outlive the handle: glibc only honours a size given with a buffer of its
// own). A compressed capture is decompressed on the way (decompression.h).
// On failure returns null with the reason in `errbuf`. `live` tells whether
// the capture comes from a pipe, a socket or a terminal (whatever its
// compression), where the next frame may be long in coming; such input is
// read so that `on_quiet`, unless null, runs while it is quiet
// (quiet_stream.h).
pcap_t *open_capture_file(const char *path, char *buffer, char *errbuf, bool &live,
                          void (*on_quiet)() = nullptr);
