// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/bytes.h"
#include "output/write_buffer_state.h"

class content_hash;

// The output file of one transfer. A capture may hold more transfers in
// progress than the process may hold open files, so descriptors are kept in a
// set of bounded size, recycled by a clock sweep that spares recently written
// files (an approximation of least recently used that costs a write nothing
// but a flag in its own record): a file that loses its descriptor is
// reopened (never created again, never truncated) when its next block comes,
// and every block is written at its own place in the file.
//
// A parked file is reopened under the name it was created with, and only if
// that name still leads to the very file created: a transfer's name may
// change after its file was created (a server that first answers from port
// 0 and later from another port), and the new name may belong to a file
// that was there before the run.
// Which file was created, under which name: from creation until closed.
struct created_file_t {
  std::unique_ptr<char[]> name;
  dev_t device = 0;
  ino_t inode = 0;
  // errno of a write of its buffer that failed where no one could be told
  // (the buffer made room for another file's, or went with the descriptor);
  // see output_keep_error.
  int write_error = 0;
  // Bytes that reached the file (a failed write's are not counted).
  std::uint64_t written = 0;
  // With a report: the content's hash, fed with the bytes as they are
  // written (in file order, from the buffer they are written from).
  content_hash *hash = nullptr;
};

struct output_file_t {
  int fd = -1;  // -1 while parked or closed
  std::uint32_t descriptor_slot : 28 = 0;  // place in the descriptors' clock ring, while fd >= 0
  std::uint32_t recently_written : 1 = 0;  // written since the descriptors' hand last passed
  // The file's size is to be set when it is closed (see block_output.h).
  std::uint32_t size_unsettled : 1 = 0;
  // The file was created and is not closed: `created` is set. A DATA or ACK
  // asks this, and the bit is in the lines of the record it reads where the
  // pointer is not.
  std::uint32_t exists : 1 = 0;
  // `created->write_error` is set: a DATA or ACK asks this too.
  std::uint32_t write_failed : 1 = 0;
  // Bytes bound for the file (write_buffer.h). The file must stay where it
  // is while it has a buffer: the buffers' clock points to it.
  write_buffer_t buffer;
  std::unique_ptr<created_file_t> created;
};

// Output files go into the folder at `path` from now on instead of the
// current directory. False with errno set when it is not a folder this
// process can write in.
bool output_use_folder(const char *path);

// Creates the file: O_EXCL unless `replace`, which truncates instead; a
// symbolic link is never followed. On failure returns false with errno set.
bool output_create(output_file_t &file, const char *name, bool replace);

// Whether something (a file, a link, a folder) stands at `name` in the
// output folder.
bool output_name_taken(const char *name);

// Cuts the file off at `size`, or makes it that long (the gap reads as
// zeros). False with errno set on failure, the file as it was.
bool output_set_size(output_file_t &file, std::uint64_t size);

// Closes the file, its buffer written out first (a failure is kept in
// `created->write_error` until the file is closed).
void output_close(output_file_t &file);

// For the write buffers: gives a parked file its descriptor back (false
// with errno set when it cannot be reopened), and writes the whole of
// `bytes` at `at` (false with errno set on failure).
bool output_ready(output_file_t &file);
bool output_write_at(int fd, bytes_t bytes, std::uint64_t at);

// Keeps `error` as the file's write failure, unless one is kept already.
void output_keep_error(output_file_t &file, int error);

// Files created and not closed yet.
std::size_t output_files_open();

// The longest name a file of the output folder may have.
std::size_t output_name_limit();

// Files created so far.
std::size_t output_files_created();

// The write buffers (write_buffer.h) sit on top of the files: before a file
// gives its descriptor back, what counted in its buffer is written out
// (false with errno set when that fails), and when it closes, its buffer
// goes. The buffers install these once they make their first buffer, so
// that this file never includes them.
struct output_buffer_hooks {
  bool (*flush)(output_file_t &file);
  void (*drop)(output_file_t &file);
};
void output_use_buffer_hooks(output_buffer_hooks hooks);
