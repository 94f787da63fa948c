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

// Files holding a descriptor; null entries are free places. `hand` is the
// clock sweep's position.
std::vector<output_file_t *> holders;
std::vector<std::uint32_t> free_places;
std::size_t hand = 0;
rlim_t open_count = 0;
rlim_t open_limit = 0;

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

bool flush_buffer(output_file_t &file);
void let_go_of_buffer(output_file_t &file);

// A file gives its descriptor back: what its buffer holds goes out first,
// and the buffer goes to files still busy.
void release_descriptor(output_file_t &file) {
  if (!flush_buffer(file)) file.created->write_error = errno;
  let_go_of_buffer(file);
  holders[file.slot] = nullptr;
  free_places.push_back(file.slot);
  ::close(file.fd);
  file.fd = -1;
  --open_count;
}

// Parks one file: the first the sweep finds not written since it last
// passed. Only called while some file holds a descriptor.
void park_one() {
  for (;;) {
    hand = hand + 1 < holders.size() ? hand + 1 : 0;
    output_file_t *file = holders[hand];
    if (file == nullptr) continue;
    if (file->referenced) {
      file->referenced = false;
      continue;
    }
    release_descriptor(*file);
    return;
  }
}

// Makes room for one more descriptor.
void make_room() {
  if (open_limit == 0) open_limit = compute_open_limit();
  while (open_count >= open_limit && open_count > 0) park_one();
}

void adopt_descriptor(output_file_t &file, int fd) {
  file.fd = fd;
  file.referenced = true;
  ++open_count;
  if (free_places.empty()) {
    file.slot = static_cast<std::uint32_t>(holders.size());
    holders.push_back(&file);
  } else {
    file.slot = free_places.back();
    free_places.pop_back();
    holders[file.slot] = &file;
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
  make_room();
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
  ++created_count;
  return true;
}

namespace {

// Writes the whole of `bytes` at `at`; a short write is not reported.
// Writes the whole of `bytes` at `at`. A short write is retried, for what
// it wrote may be all the room there was: the retry tells why.
bool write_at(int fd, bytes_t bytes, std::uint64_t at) {
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

// Gives a parked file its descriptor back; false with errno set when it
// cannot be reopened.
bool output_ready(output_file_t &file) {
  if (file.fd >= 0) {
    file.referenced = true;
    return true;
  }
  make_room();
  const int fd = reopen(file);
  if (fd < 0) return false;
  adopt_descriptor(file, fd);
  return true;
}

}  // namespace

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

std::size_t output_name_limit() {
  static std::size_t limit = 0;
  if (limit == 0) {
    const long got = output_folder == AT_FDCWD ? ::pathconf(".", _PC_NAME_MAX) : ::fpathconf(output_folder, _PC_NAME_MAX);
    limit = got > 0 ? static_cast<std::size_t>(got) : NAME_MAX;
  }
  return limit;
}

void output_close(output_file_t &file) {
  if (file.buffer && !flush_buffer(file) && file.created) file.created->write_error = errno;
  let_go_of_buffer(file);
  if (file.fd >= 0) release_descriptor(file);
  file.created.reset();
  file.exists = 0;
}

// Write buffers. Each holds bytes for one place of one file; a file takes
// one when it writes and gives it back when it is closed or parked, or when
// the budget runs out and it is the one written least recently.
struct write_buffer_t {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint64_t start = 0;  // the file offset of bytes[0]
  std::uint32_t used = 0;
  output_file_t *owner = nullptr;
  write_buffer_t *newer = nullptr;  // in the order of use, while owned
  write_buffer_t *older = nullptr;
};

namespace {

// A buffer of 16 KiB turns 32 blocks of 512 bytes into one write; 32 MiB
// for all lets 2,048 files in progress each keep one.
constexpr std::uint32_t BUFFER_SIZE = 16u << 10;
constexpr std::size_t BUFFER_BUDGET = std::size_t{32} << 20;
constexpr std::size_t MAX_BUFFERS = BUFFER_BUDGET / BUFFER_SIZE;

std::vector<std::unique_ptr<write_buffer_t>> all_buffers;
std::vector<write_buffer_t *> free_buffers;
write_buffer_t *newest_used = nullptr;
write_buffer_t *oldest_used = nullptr;
write_buffer_t *latest = nullptr;  // the buffer written last

void unlink_used(write_buffer_t &b) {
  if (b.newer) b.newer->older = b.older;
  else newest_used = b.older;
  if (b.older) b.older->newer = b.newer;
  else oldest_used = b.newer;
  b.newer = b.older = nullptr;
}

void link_newest(write_buffer_t &b) {
  b.older = newest_used;
  b.newer = nullptr;
  if (newest_used) newest_used->newer = &b;
  else oldest_used = &b;
  newest_used = &b;
}

write_buffer_t *new_buffer() {
  auto b = std::make_unique<write_buffer_t>();
  b->bytes.reset(new (std::nothrow) std::uint8_t[BUFFER_SIZE]);
  if (!b->bytes) return nullptr;
  all_buffers.push_back(std::move(b));
  return all_buffers.back().get();
}

// A buffer for `file`: a free one, a new one within the budget, or the one
// used least recently, written out first. Null when memory is short: the
// file is then written without one.
write_buffer_t *take_buffer(output_file_t &file) {
  write_buffer_t *b = nullptr;
  if (!free_buffers.empty()) {
    b = free_buffers.back();
    free_buffers.pop_back();
  } else if (all_buffers.size() < MAX_BUFFERS) {
    try {
      b = new_buffer();
    } catch (const std::bad_alloc &) {
      b = nullptr;
    }
  }
  if (b == nullptr && oldest_used != nullptr) {
    output_file_t &previous = *oldest_used->owner;
    if (!flush_buffer(previous)) previous.created->write_error = errno;
    b = previous.buffer;
    unlink_used(*b);
    previous.buffer = nullptr;
  }
  if (b == nullptr) return nullptr;
  b->owner = &file;
  b->used = 0;
  link_newest(*b);
  file.buffer = b;
  return b;
}

bool flush_buffer(output_file_t &file) {
  write_buffer_t *b = file.buffer;
  if (b == nullptr || b->used == 0) return true;
  const std::uint32_t used = b->used;
  b->used = 0;
  if (!output_ready(file)) return false;
  return write_at(file.fd, {b->bytes.get(), used}, b->start);
}

void let_go_of_buffer(output_file_t &file) {
  write_buffer_t *b = file.buffer;
  if (b == nullptr) return;
  unlink_used(*b);
  b->owner = nullptr;
  b->used = 0;
  if (latest == b) latest = nullptr;
  free_buffers.push_back(b);
  file.buffer = nullptr;
}

}  // namespace

bool output_append(output_file_t &file, std::uint64_t offset, bytes_t bytes) {
  write_buffer_t *b = file.buffer ? file.buffer : take_buffer(file);
  if (b && b->used != 0 && offset != b->start + b->used && !output_flush(file)) return false;
  if (b && b->used + bytes.size() > BUFFER_SIZE && !output_flush(file)) return false;
  if (b == nullptr || bytes.size() > BUFFER_SIZE) {
    // No buffer to be had, or more than one holds: straight to the file.
    return output_ready(file) && write_at(file.fd, bytes, offset);
  }
  if (b->used == 0) b->start = offset;
  std::memcpy(b->bytes.get() + b->used, bytes.data(), bytes.size());
  b->used += static_cast<std::uint32_t>(bytes.size());
  if (newest_used != b) {
    unlink_used(*b);
    link_newest(*b);
  }
  latest = b;
  file.referenced = true;
  return true;
}

bool output_flush(output_file_t &file) { return flush_buffer(file); }

void output_flush_latest() {
  if (latest == nullptr || latest->used == 0) return;
  output_file_t &file = *latest->owner;
  if (!flush_buffer(file)) file.created->write_error = errno;
}
