#include "base/standard_output.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "base/retrying_stream.h"

namespace {

int write_error = 0;  // the first failure of a write to standard output
// Standard error's: there is nowhere to tell it.
int stderr_write_error = 0;

// Standard output is line-buffered on a terminal and fully buffered
// otherwise, as stdio sets it up; standard error is unbuffered.
void replace(std::FILE *&stream, int fd, int buffering, int *error) {
  std::FILE *replaced = retrying_stream(fd, false, error);
  if (replaced == nullptr) return;
  std::setvbuf(replaced, nullptr, buffering, BUFSIZ);
  std::fflush(stream);
  stream = replaced;
}

}  // namespace

void standard_streams_retry_writes() {
  // A closed standard output is an error to tell, not a death.
  std::signal(SIGPIPE, SIG_IGN);
  replace(stdout, STDOUT_FILENO, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, &write_error);
  replace(stderr, STDERR_FILENO, _IONBF, &stderr_write_error);
}

int stdout_write_error() { return write_error; }

bool stdout_closed() { return write_error == EPIPE; }
