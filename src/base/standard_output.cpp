// SPDX-License-Identifier: BSD-2-Clause
#include "base/standard_output.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "base/retrying_stream.h"

namespace {

retrying_target stdout_target{STDOUT_FILENO, false, 0};
// Standard error's failure: there is nowhere to tell it.
retrying_target stderr_target{STDERR_FILENO, false, 0};

// Standard output is line-buffered on a terminal and fully buffered
// otherwise, as stdio sets it up; standard error is unbuffered.
void replace(std::FILE *&stream, retrying_target &target, int buffering) {
  std::FILE *replaced = retrying_stream(target);
  if (replaced == nullptr) return;
  std::setvbuf(replaced, nullptr, buffering, BUFSIZ);
  std::fflush(stream);
  stream = replaced;
}

}  // namespace

void standard_streams_retry_writes() {
  // A closed standard output is an error to tell, not a death.
  std::signal(SIGPIPE, SIG_IGN);
  replace(stdout, stdout_target, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF);
  replace(stderr, stderr_target, _IONBF);
}

int stdout_write_error() { return stdout_target.error; }

bool stdout_closed() { return stdout_target.error == EPIPE; }
