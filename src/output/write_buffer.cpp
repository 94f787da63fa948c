// SPDX-License-Identifier: BSD-2-Clause
#include "output/write_buffer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "output/content_hash.h"
#include "output/write_buffer_pool.h"

namespace {

output_file_t *latest = nullptr;  // the file that counted bytes last

// Takes the buffer from the file (see free_buffer).
void drop_buffer(output_file_t &file, bool ended) {
  if (latest == &file) latest = nullptr;
  free_buffer(file, ended);
}

// Writes out the counted bytes (a failure is kept in `created->write_error`)
// and gives the buffer back to the budget.
void output_drop_buffer(output_file_t &file);

// A new buffer for `file`. The files flush and drop their buffers through
// the steps installed with the first.
bool attach(output_file_t &file, std::uint32_t capacity) {
  static bool hooked = false;
  if (!hooked) {
    output_use_buffer_hooks({output_flush, output_drop_buffer});
    hooked = true;
  }
  return attach_buffer(file, capacity);
}

// Writes counted bytes at `at`, feeding the content's hash with them on
// the way: in pieces as large as the buffers, which hash at about twice
// the rate of single blocks.
bool write_counted(output_file_t &file, bytes_t bytes, std::uint64_t at) {
  if (file.created && file.created->hash) file.created->hash->add(at, bytes);
  if (!output_ready(file) || !output_write_at(file.fd, bytes, at)) return false;
  if (file.created) file.created->written += bytes.size();
  return true;
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
    drop_buffer(file, false);
  } else if (b.capacity > b.staged) {
    resize_buffer(b, b.staged);
  }
}

// Makes the file's buffer (a new one if it has none) hold `more` bytes past
// what it holds, writing out its counted bytes, or growing or shrinking it
// towards its share of the budget; false when that cannot be.
bool room_for(output_file_t &file, std::size_t more) {
  write_buffer_t &b = file.buffer;
  if (!b.exists()) {
    const std::uint32_t size = buffer_fair_size();
    if (more > size || !make_buffer_room(size, nullptr, give_up)) return false;
    return attach(file, size);
  }
  const auto fits = [&b, more] { return b.used + b.staged + more <= b.capacity; };
  // A buffer cut down to its staged blocks grows back when next used.
  if (fits() && b.capacity >= MIN_BUFFER) return true;
  if (!fits() && b.used != 0 && !write_out(file)) output_keep_error(file, errno);
  const std::uint32_t size = buffer_fair_size();
  if (fits() && b.capacity >= MIN_BUFFER) {
    // Empty now: a buffer larger than its share gives the rest back, so
    // that files arriving later find room without taking others' buffers.
    if (b.capacity > size && b.staged + more <= size) resize_buffer(b, size);
    return true;
  }
  std::uint32_t wanted = size;
  while (wanted < b.used + b.staged + more && wanted < MAX_BUFFER) wanted <<= 1;
  if (wanted > b.capacity && wanted >= b.used + b.staged + more && make_buffer_room(wanted - b.capacity, &file, give_up) &&
      resize_buffer(b, wanted))
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
  copy_into_buffer(b.bytes + b.used, bytes);
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
  copy_into_buffer(b.bytes + b.used + b.staged, bytes);
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

namespace {

void output_drop_buffer(output_file_t &file) {
  if (!file.buffer.exists()) return;
  if (!write_out(file)) output_keep_error(file, errno);
  drop_buffer(file, true);
}

}  // namespace
