// SPDX-License-Identifier: BSD-2-Clause
#include "split_capture.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace split_capture {
namespace {

constexpr std::size_t FILE_HEADER = 24;
constexpr std::size_t RECORD_HEADER = 16;

// The records of a little-endian classic pcap file (as the builder writes).
std::vector<bytes> records_of(const bytes &file) {
  std::vector<bytes> records;
  std::size_t at = FILE_HEADER;
  while (at + RECORD_HEADER <= file.size()) {
    const std::size_t caplen = file[at + 8] | file[at + 9] << 8 | file[at + 10] << 16 | file[at + 11] << 24;
    const std::size_t end = at + RECORD_HEADER + caplen;
    records.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(end));
    at = end;
  }
  return records;
}

template <class Place>
std::vector<bytes> split(const bytes &file, std::size_t pieces, Place place) {
  const std::vector<bytes> records = records_of(file);
  std::vector<bytes> out(pieces, bytes(file.begin(), file.begin() + FILE_HEADER));
  for (std::size_t i = 0; i < records.size(); ++i) {
    bytes &piece = out[place(i, records.size())];
    piece.insert(piece.end(), records[i].begin(), records[i].end());
  }
  return out;
}

}  // namespace

std::vector<bytes> in_runs(const bytes &file, std::size_t pieces) {
  return split(file, pieces, [pieces](std::size_t i, std::size_t n) { return i * pieces / n; });
}

std::vector<bytes> dealt(const bytes &file, std::size_t pieces) {
  return split(file, pieces, [pieces](std::size_t i, std::size_t) { return i % pieces; });
}

bytes compressed(const bytes &content, const std::string &tool) {
  char in_name[] = "/tmp/tftpcarve-compress.XXXXXX";
  const int fd = mkstemp(in_name);
  if (fd < 0) return {};
  close(fd);
  capture_builder::write_file(in_name, content);
  const std::string out_name = std::string(in_name) + ".out";
  const std::string command = tool + " <" + in_name + " >" + out_name + " 2>/dev/null";
  bytes out;
  if (std::system(command.c_str()) == 0) {
    std::ifstream f(out_name, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::filesystem::remove(in_name);
  std::filesystem::remove(out_name);
  return out;
}

std::string piece_name(const std::string &prefix, std::size_t i) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, "%02zu", i);
  return prefix + suffix;
}

}  // namespace split_capture
