#include "output/write_buffer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "output/content_hash.h"
#include "output/stream_copy.h"

// 32 MiB for all: 2,048 files in progress keep 16 KiB each (32 blocks of
// 512 bytes to a write), 15,000 keep 2 KiB.
std::size_t write_buffer_budget = std::size_t{32} << 20;

// Half a second-level cache: below it, the buffers stay in the cache
// between a block's copy and the write that reads it back, and an ordinary
// copy is cheaper than streaming the lines out to memory and back.
std::size_t write_buffer_cold_above = std::size_t{1} << 20;

namespace {

constexpr std::uint32_t MIN_BUFFER = 2u << 10;
constexpr std::uint32_t MAX_BUFFER = 16u << 10;
// Buffers a clock sweep looks at before it gives up making room: most
// buffers may hold staged blocks that cannot be given up, and a sweep must
// not cost a datagram time in proportion to the files in progress.
constexpr std::size_t SWEEP_LIMIT = 64;

std::vector<output_file_t *> ring;  // the files with a buffer; null entries are free places
std::vector<std::uint32_t> free_buffer_places;
std::size_t buffer_hand = 0;
std::size_t buffered_bytes = 0;  // the capacities of all buffers
output_file_t *latest = nullptr;  // the file that counted bytes last

// The size a file's buffer should have now: the budget shared by the files
// in progress, a power of two within bounds.
std::uint32_t fair_size() {
  const std::size_t buffers = ring.size() - free_buffer_places.size() + 1;
  const std::size_t files = std::max(output_files_open(), buffers);
  const std::size_t share = files > 1 ? write_buffer_budget / files : write_buffer_budget;
  std::uint32_t size = MAX_BUFFER;
  while (size > MIN_BUFFER && size > share) size >>= 1;
  return size;
}

// A block into its buffer, streamed past the cache while the buffers in
// all are larger than the cache.
void copy_in(std::uint8_t *to, bytes_t bytes) {
  if (buffered_bytes > write_buffer_cold_above) copy_to_cold(to, bytes.data(), bytes.size());
  else std::memcpy(to, bytes.data(), bytes.size());
}

// On a cache line, so that blocks at multiples of 64 bytes fill lines of
// their own. Taken from an allocation 64 bytes larger rather than from
// aligned_alloc, whose split-off remainders fragment the heap when
// thousands of buffers come and go; the byte before the buffer says how far
// in it starts.

std::uint8_t *allocate_new(std::uint32_t capacity) {
  auto *raw = static_cast<std::uint8_t *>(std::malloc(std::size_t{capacity} + CACHE_LINE));
  if (raw == nullptr) return nullptr;
  const std::uintptr_t shift = CACHE_LINE - reinterpret_cast<std::uintptr_t>(raw) % CACHE_LINE;  // 1 to 64
  raw[shift - 1] = static_cast<std::uint8_t>(shift);
  return raw + shift;
}

void release(std::uint8_t *bytes) { std::free(bytes - bytes[-1]); }

// The buffers of files that ended wait here for files that start: with
// thousands of files coming and going, freeing a buffer and allocating one
// again cost more than the bookkeeping of all their writes (malloc merges
// and sorts its free memory at each). Only buffers of the sizes fair_size
// gives are kept, and only while they and the buffers in use stay within
// the budget; they are the first to go when it runs short.
constexpr std::size_t SIZES = 4;  // 2, 4, 8 and 16 KiB
static_assert(MAX_BUFFER == MIN_BUFFER << (SIZES - 1));
std::vector<std::uint8_t *> spares[SIZES];
std::size_t spare_bytes = 0;

// The list for buffers of `capacity` bytes, or null for other sizes.
std::vector<std::uint8_t *> *spares_for(std::uint32_t capacity) {
  for (std::size_t i = 0; i < SIZES; ++i)
    if (capacity == MIN_BUFFER << i) return &spares[i];
  return nullptr;
}

std::uint8_t *allocate(std::uint32_t capacity) {
  std::vector<std::uint8_t *> *list = spares_for(capacity);
  if (list == nullptr || list->empty()) return allocate_new(capacity);
  std::uint8_t *bytes = list->back();
  list->pop_back();
  spare_bytes -= capacity;
  return bytes;
}

void keep_spare(std::uint8_t *bytes, std::uint32_t capacity) {
  std::vector<std::uint8_t *> *list = spares_for(capacity);
  if (list != nullptr && buffered_bytes + spare_bytes + capacity <= write_buffer_budget) {
    try {
      list->push_back(bytes);
      spare_bytes += capacity;
      return;
    } catch (const std::bad_alloc &) {
    }
  }
  release(bytes);
}

// Frees spare buffers until `more` bytes fit in the budget beside them.
void drop_spares(std::size_t more) {
  for (std::size_t i = 0; i < SIZES; ++i) {
    std::vector<std::uint8_t *> &list = spares[i];
    while (!list.empty() && buffered_bytes + spare_bytes + more > write_buffer_budget) {
      release(list.back());
      list.pop_back();
      spare_bytes -= MIN_BUFFER << i;
    }
  }
}

// Takes the buffer from the file: kept as a spare when the file ended and
// others are in progress. Once none is, the spares go too: a live run
// between transfers, and the end of every run, hold none.
void free_buffer(output_file_t &file, bool ended) {
  write_buffer_t &b = file.buffer;
  ring[b.ring_slot] = nullptr;
  free_buffer_places.push_back(b.ring_slot);
  buffered_bytes -= b.capacity;
  if (latest == &file) latest = nullptr;
  if (ended) keep_spare(b.bytes, b.capacity);
  else release(b.bytes);
  if (buffered_bytes == 0) drop_spares(write_buffer_budget);
  b = write_buffer_t{};
}

// A new buffer for `file`, in the ring; false when memory is short.
bool attach(output_file_t &file, std::uint32_t capacity) {
  static bool hooked = false;
  if (!hooked) {
    output_use_buffer_hooks({output_flush, output_drop_buffer});
    hooked = true;
  }
  std::uint8_t *bytes = allocate(capacity);
  if (bytes == nullptr) return false;
  std::uint32_t slot;
  try {
    if (free_buffer_places.empty()) {
      slot = static_cast<std::uint32_t>(ring.size());
      ring.push_back(&file);
    } else {
      slot = free_buffer_places.back();
      free_buffer_places.pop_back();
      ring[slot] = &file;
    }
  } catch (const std::bad_alloc &) {
    release(bytes);
    return false;
  }
  file.buffer = write_buffer_t{.bytes = bytes, .capacity = capacity, .ring_slot = slot, .recently_used = true};
  buffered_bytes += capacity;
  return true;
}

// The buffer moved to an allocation of `capacity` bytes, which holds what
// it holds; false (the buffer as it was) when memory is short.
bool resize(write_buffer_t &b, std::uint32_t capacity) {
  std::uint8_t *moved = allocate(capacity);
  if (moved == nullptr) return false;
  std::memcpy(moved, b.bytes, b.used + b.staged);
  release(b.bytes);
  b.bytes = moved;
  buffered_bytes = buffered_bytes - b.capacity + capacity;
  b.capacity = capacity;
  return true;
}

// Writes counted bytes at `at`, feeding the content's hash with them on
// the way: in pieces as large as the buffers, which hash at about twice
// the rate of single blocks.
bool write_counted(output_file_t &file, bytes_t bytes, std::uint64_t at) {
  if (file.created && file.created->hash) file.created->hash->add(at, bytes);
  return output_ready(file) && output_write_at(file.fd, bytes, at);
}

// Writes the counted bytes out; the staged ones move to the front. The
// counted bytes leave the buffer even when the write fails: the failure is
// the file's, and told once.
bool write_out(output_file_t &file) {
  write_buffer_t &b = file.buffer;
  if (b.used == 0) return true;
  const bool written = write_counted(file, {b.bytes, b.used}, b.start);
  const int error = errno;
  if (b.staged != 0) std::memmove(b.bytes, b.bytes + b.used, b.staged);
  b.start += b.used;
  b.used = 0;
  errno = error;
  return written;
}

// Staged bytes before `offset` never count: blocks count in file order.
void drop_staged_before(output_file_t &file, std::uint64_t offset) {
  write_buffer_t &b = file.buffer;
  const std::uint64_t first = b.counted_end();
  if (offset <= first || b.staged == 0) return;
  if (offset >= b.end()) {
    b.staged = 0;
    return;
  }
  if (!write_out(file)) output_keep_error(file, errno);
  const auto dropped = static_cast<std::uint32_t>(offset - b.start);
  b.staged -= dropped;
  std::memmove(b.bytes, b.bytes + dropped, b.staged);
  b.start = offset;
}

// Another file's buffer gives up what it can: its counted bytes written
// out, and its room beyond the staged bytes, if any.
void give_up(output_file_t &file) {
  if (!write_out(file)) output_keep_error(file, errno);
  write_buffer_t &b = file.buffer;
  if (b.staged == 0) {
    free_buffer(file, false);
  } else if (b.capacity > b.staged) {
    resize(b, b.staged);
  }
}

// Makes room in the budget for `more` bytes, sparing `spared`; false when a
// sweep found no buffer to give up.
bool make_buffer_room(std::size_t more, const output_file_t *spared) {
  drop_spares(more);
  for (std::size_t looked = 0; buffered_bytes + more > write_buffer_budget; ++looked) {
    if (looked == SWEEP_LIMIT || ring.empty()) return false;
    buffer_hand = buffer_hand + 1 < ring.size() ? buffer_hand + 1 : 0;
    output_file_t *f = ring[buffer_hand];
    if (f == nullptr || f == spared || f->buffer.capacity == f->buffer.staged) continue;
    if (f->buffer.recently_used) {
      f->buffer.recently_used = false;
      continue;
    }
    give_up(*f);
  }
  return true;
}

// Makes the file's buffer (a new one if it has none) hold `more` bytes past
// what it holds, writing out its counted bytes, or growing or shrinking it
// towards its share of the budget; false when that cannot be.
bool room_for(output_file_t &file, std::size_t more) {
  write_buffer_t &b = file.buffer;
  if (!b.exists()) {
    const std::uint32_t size = fair_size();
    if (more > size || !make_buffer_room(size, nullptr)) return false;
    return attach(file, size);
  }
  const auto fits = [&b, more] { return b.used + b.staged + more <= b.capacity; };
  // A buffer cut down to its staged blocks grows back when next used.
  if (fits() && b.capacity >= MIN_BUFFER) return true;
  if (!fits() && b.used != 0 && !write_out(file)) output_keep_error(file, errno);
  const std::uint32_t size = fair_size();
  if (fits() && b.capacity >= MIN_BUFFER) {
    // Empty now: a buffer larger than its share gives the rest back, so
    // that files arriving later find room without taking others' buffers.
    if (b.capacity > size && b.staged + more <= size) resize(b, size);
    return true;
  }
  std::uint32_t wanted = size;
  while (wanted < b.used + b.staged + more && wanted < MAX_BUFFER) wanted <<= 1;
  if (wanted > b.capacity && wanted >= b.used + b.staged + more && make_buffer_room(wanted - b.capacity, &file) &&
      resize(b, wanted))
    return true;
  return fits();
}

}  // namespace

bool output_append(output_file_t &file, std::uint64_t offset, bytes_t bytes) {
  write_buffer_t &b = file.buffer;
  if (b.exists()) {
    drop_staged_before(file, offset);
    if (offset != b.counted_end() || b.staged != 0) {
      // Elsewhere: what counted goes out, and the buffer starts here.
      if (!output_flush(file)) return false;
      b.staged = 0;
      b.start = offset;
    }
  }
  if (bytes.size() > MAX_BUFFER || !room_for(file, bytes.size())) {
    // More than a buffer holds, or no room to be had: straight to the file.
    return write_counted(file, bytes, offset);
  }
  if (b.used == 0) b.start = offset;
  copy_in(b.bytes + b.used, bytes);
  b.used += static_cast<std::uint32_t>(bytes.size());
  b.recently_used = true;
  latest = &file;
  return true;
}

bool output_stage(output_file_t &file, std::uint64_t counted_end, std::uint64_t offset, bytes_t bytes,
                  std::uint32_t place_length) {
  if (bytes.size() > place_length || bytes.size() > MAX_BUFFER) return false;
  write_buffer_t &b = file.buffer;
  if (b.exists() && b.staged != 0) {
    if (b.counted_end() != counted_end || offset < counted_end || offset > b.end()) return false;
    if (offset + bytes.size() <= b.end()) {
      // A copy again of a staged block: in its place. It is no longer than
      // its place, so no other staged block changes.
      std::memcpy(b.bytes + (offset - b.start), bytes.data(), bytes.size());
      b.recently_used = true;
      return true;
    }
    // A longer copy of the last staged block (no other block ends past the
    // staged ones), or the block after them: staged at the end.
    if (offset < b.end()) b.staged = static_cast<std::uint32_t>(offset - counted_end);
  } else {
    if (offset != counted_end) return false;
    if (b.exists() && b.counted_end() != offset) {
      // The bytes counted since were not kept here (they were written, or
      // are holes): the buffer starts again where the content ends.
      if (!write_out(file)) output_keep_error(file, errno);
      b.start = offset;
    }
  }
  if (!room_for(file, bytes.size())) return false;
  if (b.used + b.staged == 0) b.start = offset;
  copy_in(b.bytes + b.used + b.staged, bytes);
  b.staged += static_cast<std::uint32_t>(bytes.size());
  b.peak_staged = std::max(b.peak_staged, b.staged);
  b.recently_used = true;
  return true;
}

bytes_t output_commit(output_file_t &file, std::uint64_t offset, std::uint32_t length) {
  write_buffer_t &b = file.buffer;
  if (!b.exists() || b.staged == 0 || offset < b.counted_end() || offset >= b.end()) return {};
  drop_staged_before(file, offset);
  const std::uint32_t n = length < b.staged ? length : b.staged;
  const bytes_t counted{b.bytes + b.used, n};
  b.used += n;
  b.staged -= n;
  b.recently_used = true;
  latest = &file;
  // All staged blocks counted, and the room left would not take as many
  // again: out now, while there is nothing staged to move to the front.
  if (b.staged == 0 && b.capacity - b.used < b.peak_staged && !write_out(file)) output_keep_error(file, errno);
  return counted;
}

void output_unstage(output_file_t &file) { file.buffer.staged = 0; }

bool output_flush(output_file_t &file) { return !file.buffer.exists() || write_out(file); }

void output_flush_latest() {
  if (latest != nullptr && latest->buffer.used != 0 && !write_out(*latest)) output_keep_error(*latest, errno);
}

void output_drop_buffer(output_file_t &file) {
  if (!file.buffer.exists()) return;
  if (!write_out(file)) output_keep_error(file, errno);
  free_buffer(file, true);
}
