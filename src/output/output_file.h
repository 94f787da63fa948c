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
  std::uint32_t slot : 29 = 0;  // place in the set of open descriptors, while fd >= 0
  std::uint32_t referenced : 1 = 0;  // written since the sweep last passed
  // Bytes were written that the file may not keep: its size is to be set
  // when it is closed (see block_output.h).
  std::uint32_t size_unsettled : 1 = 0;
  // The file was created and is not closed: `created` is set. A DATA or ACK
  // asks this, and the bit is in the record's first cache line where the
  // pointer is not.
  std::uint32_t exists : 1 = 0;
  std::unique_ptr<created_file_t> created;
};

// Creates the file: O_EXCL unless `replace`, which truncates instead; a
// symbolic link is never followed. On failure returns false with errno set.
bool output_create(output_file_t &file, const char *name, bool replace);

// Writes the bytes at `offset`, reopening a parked file. A short write is
// not reported; a failed reopen returns false with errno set.
bool output_write_at(output_file_t &file, std::uint64_t offset, bytes_t bytes);

// The same, only while the file holds a descriptor: returns false, writing
// nothing, when it does not.
bool output_write_ahead_at(output_file_t &file, std::uint64_t offset, bytes_t bytes);

// Cuts the file off at `size`, or makes it that long (the gap reads as
// zeros). A failure leaves it as it is; the run goes on.
void output_set_size(output_file_t &file, std::uint64_t size);

// Closes the file.
void output_close(output_file_t &file);
