// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Runs `body` with one of the process's standard streams redirected to a
// temporary file, and returns what was written to it.

#include <unistd.h>

#include <cstdio>
#include <string>

template <class Body>
std::string capture_fd(int fd, Body body) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE *sink = std::tmpfile();
  const int saved = dup(fd);
  dup2(fileno(sink), fd);
  body();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved, fd);
  close(saved);
  std::string out;
  std::rewind(sink);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, sink)) > 0) out.append(buf, n);
  std::fclose(sink);
  return out;
}
