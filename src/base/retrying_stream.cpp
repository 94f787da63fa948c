// SPDX-License-Identifier: BSD-2-Clause
#include "base/retrying_stream.h"

#include <unistd.h>

#include <cerrno>

namespace {

ssize_t write_all(void *cookie, const char *bytes, std::size_t size) {
  auto *target = static_cast<retrying_target *>(cookie);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(target->fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (target->error == 0) target->error = errno;
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int close_target(void *cookie) {
  auto *target = static_cast<retrying_target *>(cookie);
  return target->owns_fd ? ::close(target->fd) : 0;
}

}  // namespace

std::FILE *retrying_stream(retrying_target &target) {
  const cookie_io_functions_t io{nullptr, write_all, nullptr, close_target};
  return fopencookie(&target, "w", io);
}
