#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "base/bytes.h"

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
  // (the buffer made room for another file's, or went with the descriptor).
  int write_error = 0;
};

// Bytes bound for a file, written out in one piece (output_file.cpp).
struct write_buffer_t;

struct output_file_t {
  int fd = -1;  // -1 while parked or closed
  std::uint32_t slot : 29 = 0;  // place in the set of open descriptors, while fd >= 0
  std::uint32_t referenced : 1 = 0;  // written since the sweep last passed
  // The file's size is to be set when it is closed (see block_output.h).
  std::uint32_t size_unsettled : 1 = 0;
  // The file was created and is not closed: `created` is set. A DATA or ACK
  // asks this, and the bit is in the record's first cache line where the
  // pointer is not.
  std::uint32_t exists : 1 = 0;
  std::unique_ptr<created_file_t> created;
  // Bytes written to the file wait here, while it has a buffer, so that
  // they go out in large writes instead of one system call a block. Only a
  // block that counts reaches it, and that block is read from the record's
  // second cache line anyway.
  write_buffer_t *buffer = nullptr;
};

// Output files go into the folder at `path` from now on instead of the
// current directory. False with errno set when it is not a folder this
// process can write in.
bool output_use_folder(const char *path);

// Creates the file: O_EXCL unless `replace`, which truncates instead; a
// symbolic link is never followed. On failure returns false with errno set.
bool output_create(output_file_t &file, const char *name, bool replace);

// Writes `bytes` at `offset`, through the file's buffer: bytes that follow
// the buffered ones join them, and the buffer goes out when it is full, when
// the next bytes are elsewhere, when the file loses its descriptor or its
// buffer, and when it is flushed or closed. Buffers come from a budget
// shared by every file (the files written least recently give theirs up).
// False with errno set when a write this makes fails; a failure of a write
// made for another reason is kept in `created->write_error`.
bool output_append(output_file_t &file, std::uint64_t offset, bytes_t bytes);

// Writes out what the file's buffer holds; false with errno set on failure.
bool output_flush(output_file_t &file);

// The same for the file written last: with live input, so that nothing
// counted waits for the next frame.
void output_flush_latest();

// Cuts the file off at `size`, or makes it that long (the gap reads as
// zeros). False with errno set on failure, the file as it was.
bool output_set_size(output_file_t &file, std::uint64_t size);

// Closes the file, its buffer written out first (a failure is kept in
// `created->write_error` until the file is closed).
void output_close(output_file_t &file);

// The longest name a file of the output folder may have.
std::size_t output_name_limit();

// Files created so far.
std::size_t output_files_created();
