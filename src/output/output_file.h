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
};

struct output_file_t {
  int fd = -1;  // -1 while parked or closed
  std::uint32_t slot : 30 = 0;  // place in the set of open descriptors, while fd >= 0
  std::uint32_t referenced : 1 = 0;  // written since the sweep last passed
  // Bytes were written that the file may not keep: its size is to be set
  // when it is closed (see block_output.h).
  std::uint32_t size_unsettled : 1 = 0;
  std::unique_ptr<created_file_t> created;
};

// Output files go into the folder at `path` from now on instead of the
// current directory. False with errno set when it is not a folder this
// process can write in.
bool output_use_folder(const char *path);

// Creates the file: O_EXCL unless `replace`, which truncates instead; a
// symbolic link is never followed. On failure returns false with errno set.
bool output_create(output_file_t &file, const char *name, bool replace);

// Gives a parked file its descriptor back; false with errno set when it
// cannot be reopened.
bool output_ready(output_file_t &file);

// Writes the bytes at `offset` in a file that holds its descriptor. False
// with errno set when they could not all be written (ENOSPC for a file
// system that takes no more).
bool output_write_at(output_file_t &file, std::uint64_t offset, bytes_t bytes);

// The same, only while the file holds a descriptor: returns false, writing
// nothing and errno 0, when it does not.
bool output_write_ahead_at(output_file_t &file, std::uint64_t offset, bytes_t bytes);

// Cuts the file off at `size`, or makes it that long (the gap reads as
// zeros). False with errno set on failure, the file as it was.
bool output_set_size(output_file_t &file, std::uint64_t size);

// Closes the file.
void output_close(output_file_t &file);

// The longest name a file of the output folder may have.
std::size_t output_name_limit();

// Files created so far.
std::size_t output_files_created();
