// SPDX-License-Identifier: BSD-2-Clause
#include "input/capture_file.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "input/compression.h"
#include "input/decompression.h"
#include "input/quiet_stream.h"

namespace {

// Standard input's buffer: a thread that decompresses it may read it after
// the capture's handle is gone, so it is never freed.
char stdin_buffer[CAPTURE_BUFFER];

// The first bytes of a regular file, read where they are without moving.
compression compression_of_file(std::FILE *stream) {
  std::uint8_t prefix[COMPRESSION_MAGIC_LEN];
  const ssize_t n = pread(fileno(stream), prefix, sizeof prefix, 0);
  return n > 0 ? compression_of(prefix, static_cast<std::size_t>(n)) : compression::none;
}

// The first bytes of any stream, a pipe included, put back once seen:
// glibc takes back what was just read from its buffer.
compression compression_of_stream(std::FILE *stream) {
  std::uint8_t prefix[COMPRESSION_MAGIC_LEN];
  std::size_t n = 0;
  int c;
  while (n < sizeof prefix && (c = getc_unlocked(stream)) != EOF) prefix[n++] = static_cast<std::uint8_t>(c);
  for (std::size_t i = n; i > 0; --i) ungetc(prefix[i - 1], stream);
  clearerr(stream);
  return compression_of(prefix, n);
}

bool is_regular(std::FILE *stream) {
  struct stat info{};
  return fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

void set_buffer(std::FILE *stream, char *buffer) {
  std::setvbuf(stream, buffer, _IOFBF, CAPTURE_BUFFER);
  // Only one thread reads the stream: libpcap's two reads a frame need not
  // take its lock, a locked instruction that waits for every pending store.
  __fsetlocking(stream, FSETLOCKING_BYCALLER);
}

void close_keeping_errno(std::FILE *stream) {
  const int error = errno;
  if (stream != stdin) std::fclose(stream);
  errno = error;
}

// Input that may fall quiet, read so that `on_quiet` runs while it is
// (quiet_stream.h); as it is without a hook, or should that stream not be
// had (the capture is then read as before, silence counted by its frames).
std::FILE *waiting_stream(std::FILE *stream, void (*on_quiet)()) {
  if (on_quiet == nullptr) return stream;
  std::FILE *quiet = open_quiet_stream(stream, on_quiet);
  return quiet != nullptr ? quiet : stream;
}

// The stream libpcap is to read: `stream` itself, or the pipe its
// decompression fills. Null with errno set when that cannot start, and
// `stream` then closed (standard input excepted).
std::FILE *plain_stream(std::FILE *stream, char *buffer, bool &live, void (*on_quiet)()) {
  const bool from_stdin = stream == stdin;
  live = !is_regular(stream);
  if (live) stream = waiting_stream(stream, on_quiet);
  compression kind;
  if (from_stdin) {
    // Its buffer outlives a thread that decompresses it.
    set_buffer(stream, stdin_buffer);
    kind = compression_of_stream(stream);
  } else if (!live) {
    kind = compression_of_file(stream);
    if (kind == compression::none) set_buffer(stream, buffer);
  } else {
    // A named pipe: stdio's own buffer, which goes with the stream.
    kind = compression_of_stream(stream);
  }
  if (kind == compression::none) return stream;
  std::FILE *decompressed = open_decompressed(stream);
  if (decompressed == nullptr) {
    close_keeping_errno(stream);
    return nullptr;
  }
  if (live) decompressed = waiting_stream(decompressed, on_quiet);
  set_buffer(decompressed, buffer);
  return decompressed;
}

}  // namespace

pcap_t *open_capture_file(const char *path, char *buffer, char *errbuf, bool &live, void (*on_quiet)()) {
  const bool from_stdin = std::strcmp(path, "-") == 0;
  std::FILE *stream = from_stdin ? stdin : std::fopen(path, "rb");
  if (stream == nullptr) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", path, std::strerror(errno));
    return nullptr;
  }
  std::FILE *plain = plain_stream(stream, buffer, live, on_quiet);
  if (plain == nullptr) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", path, std::strerror(errno));
    return nullptr;
  }
  pcap_t *handle = pcap_fopen_offline(plain, errbuf);
  // On success the handle owns the stream (and never closes standard
  // input).
  if (handle == nullptr && plain != stdin) std::fclose(plain);
  return handle;
}
