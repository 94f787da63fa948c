// SPDX-License-Identifier: BSD-2-Clause
#include "input/same_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

bool stat_input(const char *input, struct stat &info) {
  if (std::strcmp(input, "-") == 0) return fstat(STDIN_FILENO, &info) == 0;
  return stat(input, &info) == 0;
}

}  // namespace

bool names_an_input(const char *path, std::span<const char *const> inputs) {
  struct stat target{};
  const bool exists = stat(path, &target) == 0;
  for (const char *input : inputs) {
    if (!exists) {
      if (std::strcmp(path, input) == 0) return true;
      continue;
    }
    struct stat info{};
    if (stat_input(input, info) && info.st_dev == target.st_dev && info.st_ino == target.st_ino) return true;
  }
  return false;
}
