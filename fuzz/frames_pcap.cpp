// SPDX-License-Identifier: BSD-2-Clause
// Converts between capture files and inputs of fuzz_frames.
//
//   frames_pcap to-input CAPTURE INPUT [FLAGS [LEVELS]]
//       every frame of a pcap or pcapng capture, with the option byte FLAGS
//       and the level byte LEVELS (see frames_format.h), default 0 and 0x0b
//       (verbose 3, debug level 2)
//   frames_pcap to-pcap INPUT CAPTURE
//       a classic pcap file of the input's frames, to keep a fuzz finding as
//       a regression capture; the options of the input are printed as
//       command-line flags on standard output

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frames_format.h"

namespace {

using bytes = std::vector<std::uint8_t>;

void put16(bytes &out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void put32le(bytes &out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

bool write_file(const char *path, const bytes &b) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
  return static_cast<bool>(out);
}

int to_input(const char *capture, const char *input, int flags, int levels) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_t *handle = pcap_open_offline(capture, errbuf);
  if (handle == nullptr) {
    std::fprintf(stderr, "%s: %s\n", capture, errbuf);
    return 1;
  }
  const int link_type = pcap_datalink(handle);
  std::size_t selector = frames_format::LINK_TYPES.size();
  for (std::size_t i = 0; i < frames_format::LINK_TYPES.size(); ++i)
    if (frames_format::LINK_TYPES[i] == link_type) selector = i;
  if (selector == frames_format::LINK_TYPES.size()) {
    std::fprintf(stderr, "%s: link type %d is not handled\n", capture, link_type);
    pcap_close(handle);
    return 1;
  }
  bytes out{static_cast<std::uint8_t>(selector), static_cast<std::uint8_t>(flags),
            static_cast<std::uint8_t>(levels)};
  pcap_pkthdr *header;
  const u_char *frame;
  while (pcap_next_ex(handle, &header, &frame) == 1) {
    const std::uint32_t caplen = header->caplen > 0xffff ? 0xffff : header->caplen;
    const std::uint32_t len = header->len > 0xffff ? 0xffff : header->len;
    put16(out, caplen);
    put16(out, len == caplen ? 0 : len);
    out.insert(out.end(), frame, frame + caplen);
  }
  pcap_close(handle);
  return write_file(input, out) ? 0 : 1;
}

int to_pcap(const char *input, const char *capture) {
  std::ifstream in(input, std::ios::binary);
  const bytes data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (data.size() < frames_format::PREAMBLE) {
    std::fprintf(stderr, "%s: too short\n", input);
    return 1;
  }
  bytes out;
  put32le(out, 0xa1b2c3d4);
  out.insert(out.end(), {2, 0, 4, 0});  // version 2.4
  put32le(out, 0);
  put32le(out, 0);
  put32le(out, 65535);
  put32le(out, frames_format::FILE_LINK_TYPES[data[0] % frames_format::FILE_LINK_TYPES.size()]);
  frames_format::frame_reader reader(data.data(), data.size());
  frames_format::frame_t frame;
  std::uint32_t seconds = 1;
  while (reader.next(frame)) {
    put32le(out, seconds++);
    put32le(out, 0);
    put32le(out, frame.caplen);
    put32le(out, frame.len);
    out.insert(out.end(), frame.bytes, frame.bytes + frame.caplen);
  }
  if (!write_file(capture, out)) return 1;
  const std::uint8_t flags = data[1];
  std::string args;
  if (flags & frames_format::OPT_CHECK_CHECKSUMS) args += " -B";
  if (flags & frames_format::OPT_PRINT_CONSOLE) args += " -c";
  if (flags & frames_format::OPT_OVERWRITE) args += " -f";
  if (flags & frames_format::OPT_DUMP_PACKETS) args += " -X";
  if (flags & frames_format::OPT_NO_FILENAME) args += " -E";
  if (flags & frames_format::OPT_IPV6) args += " -6";
  for (int v = 0; v < (data[2] & 3); ++v) args += " -v";
  args += " -d " + std::to_string((data[2] >> 2) % 7);
  std::printf("%s\n", args.c_str() + 1);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 4 && std::strcmp(argv[1], "to-input") == 0)
    return to_input(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 0, argc > 5 ? std::atoi(argv[5]) : 0x0b);
  if (argc == 4 && std::strcmp(argv[1], "to-pcap") == 0) return to_pcap(argv[2], argv[3]);
  std::fprintf(stderr, "usage: %s to-input CAPTURE INPUT [FLAGS [LEVELS]] | to-pcap INPUT CAPTURE\n", argv[0]);
  return 2;
}
