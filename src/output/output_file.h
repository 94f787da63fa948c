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
// and every block is written at the file's own offset.
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
  // What each block's write reads and changes comes first.
  int fd = -1;  // -1 while parked or closed
  std::uint32_t slot : 31 = 0;  // place in the set of open descriptors, while fd >= 0
  std::uint32_t referenced : 1 = 0;  // written since the sweep last passed
  std::uint64_t offset = 0;
  // Bytes written past `offset` by output_write_ahead and not yet committed.
  std::uint32_t ahead = 0;
  std::unique_ptr<created_file_t> created;
};

// Creates the file: O_EXCL unless `replace`, which truncates instead; a
// symbolic link is never followed. On failure returns false with errno set.
bool output_create(output_file_t &file, const char *name, bool replace);

// Writes the bytes at the file's offset, reopening a parked file. A short
// write is not reported; a failed reopen returns false with errno set.
bool output_write(output_file_t &file, bytes_t bytes);

// Writes bytes at the file's offset without moving it: a block that is not
// acknowledged yet, written while it is still in the processor's cache
// instead of kept and written later. Only while the file holds a descriptor;
// returns false, writing nothing, when it does not.
bool output_write_ahead(output_file_t &file, bytes_t bytes);

// Moves the offset over bytes written ahead, once their block counts.
void output_commit(output_file_t &file, std::uint32_t length);

// Cuts off what was written ahead and never committed, and closes.
void output_close(output_file_t &file);
