// SPDX-License-Identifier: BSD-2-Clause
#include "input/decompression.h"

#include <archive.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <thread>

namespace {

// What the thread hands on per write: large enough that the pipe, not the
// calls, sets the pace.
constexpr std::size_t CHUNK = 1 << 18;
// A larger pipe lets the two threads run apart for longer; the kernel may
// refuse it (it caps unprivileged pipes), and 64 KiB still works.
constexpr int PIPE_SIZE = 1 << 20;

// libarchive is loaded when the first compressed capture comes, not with
// the program: it brings libraries of tens of megabytes of address space
// (XML, Unicode tables) that a run on plain captures must not pay for.
struct archive_library {
  bool loaded = false;
  decltype(&archive_read_new) read_new;
  decltype(&archive_read_free) read_free;
  decltype(&archive_read_support_filter_gzip) filter_gzip;
  decltype(&archive_read_support_filter_bzip2) filter_bzip2;
  decltype(&archive_read_support_filter_xz) filter_xz;
  decltype(&archive_read_support_filter_zstd) filter_zstd;
  decltype(&archive_read_support_filter_lz4) filter_lz4;
  decltype(&archive_read_support_format_raw) format_raw;
  decltype(&archive_read_open_FILE) open_file;
  decltype(&archive_read_next_header) next_header;
  decltype(&archive_read_data) read_data;
};

template <class Function>
bool find(void *library, const char *name, Function &to) {
  to = reinterpret_cast<Function>(dlsym(library, name));
  return to != nullptr;
}

archive_library load_archive_library() {
  archive_library l;
  void *so = dlopen("libarchive.so.13", RTLD_NOW | RTLD_LOCAL);
  if (so == nullptr) return l;
  l.loaded = find(so, "archive_read_new", l.read_new) && find(so, "archive_read_free", l.read_free) &&
             find(so, "archive_read_support_filter_gzip", l.filter_gzip) &&
             find(so, "archive_read_support_filter_bzip2", l.filter_bzip2) &&
             find(so, "archive_read_support_filter_xz", l.filter_xz) &&
             find(so, "archive_read_support_filter_zstd", l.filter_zstd) &&
             find(so, "archive_read_support_filter_lz4", l.filter_lz4) &&
             find(so, "archive_read_support_format_raw", l.format_raw) &&
             find(so, "archive_read_open_FILE", l.open_file) && find(so, "archive_read_next_header", l.next_header) &&
             find(so, "archive_read_data", l.read_data);
  return l;
}

// Loaded once, by the reading thread, before any decompressing thread uses it.
const archive_library &lib() {
  static const archive_library loaded = load_archive_library();
  return loaded;
}

struct archive_closer {
  void operator()(archive *a) const { lib().read_free(a); }
};
using archive_handle = std::unique_ptr<archive, archive_closer>;

// Every compression in its raw form: no archive format, one stream of bytes.
archive_handle reader_for(std::FILE *compressed) {
  const archive_library &l = lib();
  archive_handle a(l.read_new());
  if (!a) return a;
  l.filter_gzip(a.get());
  l.filter_bzip2(a.get());
  l.filter_xz(a.get());
  l.filter_zstd(a.get());
  l.filter_lz4(a.get());
  l.format_raw(a.get());
  archive_entry *entry = nullptr;
  if (l.open_file(a.get(), compressed) != ARCHIVE_OK || l.next_header(a.get(), &entry) != ARCHIVE_OK) a.reset();
  return a;
}

bool write_all(int fd, const char *bytes, std::size_t n) {
  while (n > 0) {
    const ssize_t written = write(fd, bytes, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;  // the reader is gone (EPIPE)
    bytes += written;
    n -= static_cast<std::size_t>(written);
  }
  return true;
}

void decompress(std::FILE *compressed, int out) {
  const std::unique_ptr<char[]> chunk(new char[CHUNK]);
  if (archive_handle a = reader_for(compressed)) {
    la_ssize_t got;
    while ((got = lib().read_data(a.get(), chunk.get(), CHUNK)) > 0)
      if (!write_all(out, chunk.get(), static_cast<std::size_t>(got))) break;
  }
  close(out);
  if (compressed != stdin) std::fclose(compressed);
}

// The thread takes no signal: the stop signals must reach the reading
// thread (whose blocked read they end), and a reader gone away must show
// as EPIPE rather than end the process.
std::thread start_without_signals(std::FILE *compressed, int out) {
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  std::thread worker;
  try {
    worker = std::thread(decompress, compressed, out);
  } catch (const std::system_error &) {
    errno = EAGAIN;
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return worker;
}

}  // namespace

std::FILE *open_decompressed(std::FILE *compressed) {
  if (!lib().loaded) {
    errno = ELIBACC;
    return nullptr;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  fcntl(ends[1], F_SETPIPE_SZ, PIPE_SIZE);
  std::FILE *reader = fdopen(ends[0], "rb");
  if (reader == nullptr) {
    close(ends[0]);
    close(ends[1]);
    return nullptr;
  }
  std::thread worker = start_without_signals(compressed, ends[1]);
  if (!worker.joinable()) {
    std::fclose(reader);
    close(ends[1]);
    return nullptr;
  }
  // Nothing waits for it: it ends by itself once the stream or the reader
  // does.
  worker.detach();
  return reader;
}
