// SPDX-License-Identifier: BSD-2-Clause
#include "input/quiet_stream.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

struct quiet_source {
  std::FILE *stream = nullptr;
  int fd = -1;
  void (*on_quiet)() = nullptr;
  pthread_t owner{};
  std::atomic<bool> taken{false};
};

// One capture is read at a time through these: its own stream, and the
// pipe its decompression fills. Kept in static storage, so that a run that
// ends with a fatal error, its streams still open, leaves nothing behind.
quiet_source sources[2];

quiet_source *take_source() {
  for (quiet_source &s : sources) {
    bool expected = false;
    if (s.taken.compare_exchange_strong(expected, true)) return &s;
  }
  return nullptr;
}

ssize_t read_when_ready(void *cookie, char *buffer, std::size_t size) {
  auto *source = static_cast<quiet_source *>(cookie);
  for (;;) {
    pollfd wait{source->fd, POLLIN, 0};
    const int ready = poll(&wait, 1, QUIET_WAKE_MS);
    if (ready < 0) return -1;
    if (ready > 0) return read(source->fd, buffer, size);
    if (pthread_equal(pthread_self(), source->owner)) source->on_quiet();
  }
}

int close_source(void *cookie) {
  auto *source = static_cast<quiet_source *>(cookie);
  const int closed = source->stream == stdin ? 0 : std::fclose(source->stream);
  source->taken.store(false);
  return closed;
}

}  // namespace

std::FILE *open_quiet_stream(std::FILE *source, void (*on_quiet)()) {
  quiet_source *cookie = take_source();
  if (cookie == nullptr) {
    errno = EMFILE;
    return nullptr;
  }
  cookie->stream = source;
  cookie->fd = fileno(source);
  cookie->on_quiet = on_quiet;
  cookie->owner = pthread_self();
  const cookie_io_functions_t io{read_when_ready, nullptr, nullptr, close_source};
  std::FILE *stream = fopencookie(cookie, "r", io);
  if (stream == nullptr) cookie->taken.store(false);
  return stream;
}
