// SPDX-License-Identifier: BSD-2-Clause
// The decompression floor of a compressed capture: libarchive's raw reader,
// in one thread, to /dev/null, as tftpcarve's decompressing thread reads it.
//
//   decompress FILE
#include <archive.h>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  archive *a = archive_read_new();
  archive_read_support_filter_all(a);
  archive_read_support_format_raw(a);
  archive_entry *entry = nullptr;
  if (archive_read_open_filename(a, argv[1], 1 << 17) != ARCHIVE_OK || archive_read_next_header(a, &entry) != ARCHIVE_OK) {
    std::fprintf(stderr, "%s: %s\n", argv[1], archive_error_string(a));
    return 1;
  }
  constexpr std::size_t CHUNK = 1 << 18;
  const std::unique_ptr<char[]> chunk(new char[CHUNK]);
  unsigned long long total = 0;
  la_ssize_t got;
  while ((got = archive_read_data(a, chunk.get(), CHUNK)) > 0) total += static_cast<unsigned long long>(got);
  const int status = got < 0 ? 1 : 0;
  if (got < 0) std::fprintf(stderr, "%s: %s\n", argv[1], archive_error_string(a));
  archive_read_free(a);
  std::printf("%llu\n", total);
  return status;
}
