#include "base/retrying_stream.h"

#include <unistd.h>

#include <cerrno>
#include <new>

namespace {

struct stream_cookie {
  int fd;
  bool owns_fd;
  int *error;
};

ssize_t write_all(void *cookie, const char *bytes, std::size_t size) {
  auto *c = static_cast<stream_cookie *>(cookie);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(c->fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (*c->error == 0) *c->error = errno;
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int close_cookie(void *cookie) {
  auto *c = static_cast<stream_cookie *>(cookie);
  const int result = c->owns_fd ? ::close(c->fd) : 0;
  delete c;
  return result;
}

}  // namespace

std::FILE *retrying_stream(int fd, bool owns_fd, int *error) {
  auto *cookie = new (std::nothrow) stream_cookie{fd, owns_fd, error};
  if (cookie == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const cookie_io_functions_t io{nullptr, write_all, nullptr, close_cookie};
  std::FILE *stream = fopencookie(cookie, "w", io);
  if (stream == nullptr) delete cookie;
  return stream;
}
