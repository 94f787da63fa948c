// SPDX-License-Identifier: BSD-2-Clause
#include "input/quiet_stream.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace {

struct quiet_source {
  std::FILE *stream;
  int fd;
  void (*on_quiet)();
  pthread_t owner;
};

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
  delete source;
  return closed;
}

}  // namespace

std::FILE *open_quiet_stream(std::FILE *source, void (*on_quiet)()) {
  auto *cookie = new (std::nothrow) quiet_source{source, fileno(source), on_quiet, pthread_self()};
  if (cookie == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const cookie_io_functions_t io{read_when_ready, nullptr, nullptr, close_source};
  std::FILE *stream = fopencookie(cookie, "r", io);
  if (stream == nullptr) delete cookie;
  return stream;
}
