// SPDX-License-Identifier: BSD-2-Clause
// Drives whole runs through the per-frame path, from the frame's tags and
// the filter's view of it, through the link-layer handler, down to output
// files, with state carried across the frames of one input.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "decode/fragment.h"
#include "input/frame.h"
#include "decode/link.h"
#include "frames_format.h"
#include "base/options.h"
#include "tftp/endings.h"
#include "tftp/transfer.h"
#include "tftp/transfer_index.h"
#include "tftp/transfer_table.h"

namespace {

// The scratch folder for output files, entered for each input and left
// again afterwards: libFuzzer resolves its corpus and artifact paths against
// the folder it was started in.
int scratch_fd = -1;
int home_fd = -1;
char scratch_path[] = "/tmp/fuzz_frames.XXXXXX";

std::array<bpf_program, frames_format::LINK_TYPES.size()> udp_filters{};

const std::size_t default_chain_walk_limit = chain_walk_limit;
const std::size_t default_piece_walk_limit = piece_walk_limit;

// An output name is the endpoint part, then "-" and the sanitised file
// name, and it names a regular file: anything else means a name escaped its
// rules. The endpoint part is two endpoints of one family joined by "-":
// 43 characters for IPv4, 91 for IPv6.
bool well_formed_output(const char *name) {
  const std::size_t length = std::strlen(name);
  const std::size_t endpoint = length > 45 && name[45] == '-' ? 45 : 21;
  const std::size_t part = 2 * endpoint + 1;
  if (length < part || (length > part && name[part] != '-')) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = name[i];
    const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         c == '.' || c == '_' || (c == '-' && (i == endpoint || i == part));
    if (!allowed) return false;
  }
  struct stat info{};
  return lstat(name, &info) == 0 && S_ISREG(info.st_mode);
}

// Output files of one input must not meet those of the next: an existing
// name changes the path taken (creation refused without -f).
void empty_folder(bool check) {
  DIR *dir = opendir(".");
  if (dir == nullptr) return;
  while (dirent *entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (check && !well_formed_output(entry->d_name)) std::abort();
    unlink(entry->d_name);
  }
  closedir(dir);
}

void remove_scratch() {
  if (fchdir(scratch_fd) == 0) empty_folder(false);
  rmdir(scratch_path);
}

void set_options(const std::uint8_t *data, std::size_t size) {
  const std::uint8_t flags = size > 1 ? data[1] : 0;
  const std::uint8_t levels = size > 2 ? data[2] : 0;
  check_checksums = (flags & frames_format::OPT_CHECK_CHECKSUMS) != 0;
  print_console = (flags & frames_format::OPT_PRINT_CONSOLE) != 0;
  overwrite = (flags & frames_format::OPT_OVERWRITE) != 0;
  dump_packets = (flags & frames_format::OPT_DUMP_PACKETS) != 0;
  use_filename = (flags & frames_format::OPT_NO_FILENAME) == 0;
  verbose = levels & 3;
  debug_level = (levels >> 2) % 7;
  decode_ipv6 = (flags & frames_format::OPT_IPV6) != 0;
  const bool early = (flags & frames_format::OPT_INDEX_EARLY) != 0;
  chain_walk_limit = early ? 0 : default_chain_walk_limit;
  piece_walk_limit = early ? 0 : default_piece_walk_limit;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (mkdtemp(scratch_path) == nullptr) std::abort();
  scratch_fd = open(scratch_path, O_RDONLY | O_DIRECTORY);
  home_fd = open(".", O_RDONLY | O_DIRECTORY);
  if (scratch_fd < 0 || home_fd < 0) std::abort();
  std::atexit(remove_scratch);
  // The trace, the dump and the console output go to standard output, which
  // nobody reads here. Diagnostics go to the stdio stream stderr: it is
  // pointed at /dev/null too, while descriptor 2 stays open for the reports
  // of the fuzzer and the sanitizers.
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd < 0 || dup2(null_fd, 1) < 0) std::abort();
  FILE *sink = fdopen(null_fd, "w");
  if (sink == nullptr) std::abort();
  stderr = sink;
  // Few descriptors, so that an input of a few dozen transfers already
  // parks output files and reopens them.
  const rlimit few{64, 64};
  if (setrlimit(RLIMIT_NOFILE, &few) != 0) std::abort();
  frag_table_init();
  // The "udp" filter as the tool compiles it for each link type.
  for (std::size_t i = 0; i < frames_format::LINK_TYPES.size(); ++i) {
    pcap_t *dead = pcap_open_dead(frames_format::LINK_TYPES[i], 262144);
    if (dead == nullptr || pcap_compile(dead, &udp_filters[i], "udp", 0, 0) != 0) std::abort();
    pcap_close(dead);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < frames_format::PREAMBLE) return -1;
  const std::size_t selector = data[0] % frames_format::LINK_TYPES.size();
  const int link_type = frames_format::LINK_TYPES[selector];
  set_options(data, size);
  const bool filtered = size > 1 && (data[1] & frames_format::OPT_FILTER) != 0;
  frame_path path = make_frame_path(handler_for_datalink(link_type), link_type,
                                    filtered ? &udp_filters[selector] : nullptr, false);
  if (fchdir(scratch_fd) != 0) std::abort();

  frames_format::frame_reader reader(data, size);
  frames_format::frame_t frame;
  while (reader.next(frame)) {
    // A copy of exactly caplen bytes, so that any read past the captured
    // bytes is caught.
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[frame.caplen]);
    if (frame.caplen) std::memcpy(bytes.get(), frame.bytes, frame.caplen);
    pcap_pkthdr header{};
    header.caplen = frame.caplen;
    header.len = frame.len;
    take_frame(path, &header, bytes.get());
  }

  // The end of a run, then a clean start for the next input.
  flush_all_requests();
  frag_release_all();
  frag_table_init();
  if (newest_transfer() != nullptr) std::abort();
  empty_folder(true);
  if (fchdir(home_fd) != 0) std::abort();
  return 0;
}
