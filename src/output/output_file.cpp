// SPDX-License-Identifier: BSD-2-Clause
#include "output/output_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

namespace {

// O_NONBLOCK: with -f the name may stand for a FIFO, whose open would wait
// for a reader forever; with it the open fails at once (or succeeds and is
// refused below as not a regular file). It changes nothing for a regular
// file.
constexpr int CREATE_FLAGS = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int REOPEN_FLAGS = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr mode_t FILE_PERMISSIONS = 0600;
// Descriptors left for standard streams, the capture and libraries.
constexpr rlim_t RESERVED_DESCRIPTORS = 32;
constexpr rlim_t MIN_OPEN_FILES = 4;
constexpr rlim_t MAX_OPEN_FILES = 1 << 16;

// Where output files go: the current directory, or the folder of -o. Names
// never hold a "/", so nothing is made outside it.
int output_folder = AT_FDCWD;
std::size_t created_count = 0;
std::size_t open_files = 0;

// Files holding a descriptor; null entries are free places. `descriptor_hand` is the
// clock sweep's position. This sweep bounds descriptors (the process's
// limit); the write buffers' sweep (write_buffer.cpp) bounds their memory
// (the budget). Both are needed, with clocks of their own: a parked file
// may keep a buffer with staged blocks, and a file with a descriptor may
// have no buffer, so neither resource's use tells the other's.
std::vector<output_file_t *> holders;
std::vector<std::uint32_t> free_descriptor_places;
std::size_t descriptor_hand = 0;
rlim_t open_count = 0;
rlim_t open_limit = 0;

bool nothing_to_flush(output_file_t &) { return true; }
void no_buffer_to_drop(output_file_t &) {}
// Until the first buffer is made no file has one to write out or give back.
output_buffer_hooks buffer_hooks{nothing_to_flush, no_buffer_to_drop};

rlim_t compute_open_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return MIN_OPEN_FILES;
  if (limit.rlim_cur < limit.rlim_max) {
    // Use what the hard limit allows; it costs nothing until used.
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? MAX_OPEN_FILES + RESERVED_DESCRIPTORS
                                                      : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  rlim_t usable = limit.rlim_cur == RLIM_INFINITY ? MAX_OPEN_FILES : limit.rlim_cur;
  usable = usable > RESERVED_DESCRIPTORS * 2 ? usable - RESERVED_DESCRIPTORS : usable / 2;
  if (usable < MIN_OPEN_FILES) usable = MIN_OPEN_FILES;
  return usable > MAX_OPEN_FILES ? MAX_OPEN_FILES : usable;
}

// A file gives its descriptor back: what counted in its buffer goes out
// first. The buffer stays, with the blocks staged in it.
void release_descriptor(output_file_t &file) {
  if (!buffer_hooks.flush(file)) output_keep_error(file, errno);
  holders[file.descriptor_slot] = nullptr;
  free_descriptor_places.push_back(file.descriptor_slot);
  ::close(file.fd);
  file.fd = -1;
  --open_count;
}

// Parks one file: the first the sweep finds not written since it last
// passed. Only called while some file holds a descriptor.
void park_one() {
  for (;;) {
    descriptor_hand = descriptor_hand + 1 < holders.size() ? descriptor_hand + 1 : 0;
    output_file_t *file = holders[descriptor_hand];
    if (file == nullptr) continue;
    if (file->recently_written) {
      file->recently_written = false;
      continue;
    }
    release_descriptor(*file);
    return;
  }
}

// Makes room for one more descriptor.
void make_descriptor_room() {
  if (open_limit == 0) open_limit = compute_open_limit();
  while (open_count >= open_limit && open_count > 0) park_one();
}

void adopt_descriptor(output_file_t &file, int fd) {
  file.fd = fd;
  file.recently_written = true;
  ++open_count;
  if (free_descriptor_places.empty()) {
    file.descriptor_slot = static_cast<std::uint32_t>(holders.size());
    holders.push_back(&file);
  } else {
    file.descriptor_slot = free_descriptor_places.back();
    free_descriptor_places.pop_back();
    holders[file.descriptor_slot] = &file;
  }
}

int open_retrying(const char *name, int flags) {
  int fd = ::openat(output_folder, name, flags, FILE_PERMISSIONS);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE) && open_count > 0) {
    // Something else holds descriptors too: give one of ours back and retry.
    park_one();
    fd = ::openat(output_folder, name, flags, FILE_PERMISSIONS);
  }
  return fd;
}

// Reopens a parked file under its creation name, refusing whatever now
// stands there if it is not the file created.
int reopen(const output_file_t &file) {
  if (!file.created) {
    errno = EBADF;
    return -1;
  }
  const int fd = open_retrying(file.created->name.get(), REOPEN_FLAGS);
  if (fd < 0) return -1;
  struct stat info{};
  if (fstat(fd, &info) != 0 || info.st_dev != file.created->device || info.st_ino != file.created->inode) {
    ::close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

}  // namespace

bool output_use_folder(const char *path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  if (::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  output_folder = fd;
  return true;
}

bool output_create(output_file_t &file, const char *name, bool replace) {
  const std::size_t size = std::strlen(name) + 1;
  std::unique_ptr<created_file_t> kept(new (std::nothrow) created_file_t);
  if (kept) kept->name.reset(new (std::nothrow) char[size]);
  if (!kept || !kept->name) {
    errno = ENOMEM;
    return false;
  }
  std::memcpy(kept->name.get(), name, size);
  make_descriptor_room();
  const int fd = open_retrying(name, CREATE_FLAGS | (replace ? O_TRUNC : O_EXCL));
  if (fd < 0) return false;
  // Only a regular file is written: with -f an existing FIFO or device of
  // the name is opened, not replaced.
  struct stat info{};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return false;
  }
  adopt_descriptor(file, fd);
  file.size_unsettled = 0;
  kept->device = info.st_dev;
  kept->inode = info.st_ino;
  file.created = std::move(kept);
  file.exists = 1;
  file.write_failed = 0;
  ++created_count;
  ++open_files;
  return true;
}

bool output_name_taken(const char *name) {
  struct stat info{};
  return ::fstatat(output_folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// A short write is retried, for what it wrote may be all the room there
// was: the retry tells why.
bool output_write_at(int fd, bytes_t bytes, std::uint64_t at) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool output_ready(output_file_t &file) {
  if (file.fd >= 0) {
    file.recently_written = true;
    return true;
  }
  make_descriptor_room();
  const int fd = reopen(file);
  if (fd < 0) return false;
  adopt_descriptor(file, fd);
  return true;
}

bool output_set_size(output_file_t &file, std::uint64_t size) {
  const int fd = file.fd >= 0 ? file.fd : reopen(file);
  if (fd < 0) return false;
  const bool done = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  const int saved = errno;
  if (fd != file.fd) ::close(fd);
  errno = saved;
  return done;
}

std::size_t output_files_created() { return created_count; }

std::size_t output_files_open() { return open_files; }

void output_keep_error(output_file_t &file, int error) {
  if (!file.created || file.write_failed) return;
  file.created->write_error = error;
  file.write_failed = 1;
}

std::size_t output_name_limit() {
  static std::size_t limit = 0;
  if (limit == 0) {
    const long got = output_folder == AT_FDCWD ? ::pathconf(".", _PC_NAME_MAX) : ::fpathconf(output_folder, _PC_NAME_MAX);
    limit = got > 0 ? static_cast<std::size_t>(got) : NAME_MAX;
  }
  return limit;
}

void output_use_buffer_hooks(output_buffer_hooks hooks) { buffer_hooks = hooks; }

void output_close(output_file_t &file) {
  buffer_hooks.drop(file);
  if (file.fd >= 0) release_descriptor(file);
  if (file.exists) --open_files;
  file.created.reset();
  file.exists = 0;
  file.write_failed = 0;
}
