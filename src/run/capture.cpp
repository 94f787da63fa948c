#include "run/capture.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "decode/link.h"
#include "decode/peek.h"
#include "output/output_file.h"
#include "run/log.h"
#include "tftp/transfer.h"

namespace {

// The compiled filter lives until the process ends.
bpf_program filter_program{};

// libpcap reads a capture in pieces of the stream's buffer size, one system
// call each; on captures of gigabytes a larger buffer saves most of them.
// 64 KiB saves 15 calls in 16 and still fits in the cache it is copied from. A
// read from a pipe still returns what is there, so live input is not held
// back.
// glibc only honours a size given with a buffer of its own; this one outlives
// the stream, which libpcap closes.
constexpr std::size_t CAPTURE_BUFFER = 1 << 16;
char capture_buffer[CAPTURE_BUFFER];

// Opens the capture as pcap_open_offline would, with a larger read buffer.
pcap_t *open_capture(const char *path, char *errbuf) {
  const bool from_stdin = std::strcmp(path, "-") == 0;
  std::FILE *stream = from_stdin ? stdin : std::fopen(path, "rb");
  if (stream == nullptr) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", path, std::strerror(errno));
    return nullptr;
  }
  std::setvbuf(stream, capture_buffer, _IOFBF, CAPTURE_BUFFER);
  pcap_t *handle = pcap_fopen_offline(stream, errbuf);
  // On success the handle owns the stream (and never closes standard input).
  if (handle == nullptr && !from_stdin) std::fclose(stream);
  return handle;
}

// With thousands of transfers in progress, most datagrams find their
// transfer's index slot and record out of the cache, one wait after the
// other. Reading a capture file, frames are then handled two behind the one
// just read: the newest frame's slots are fetched, the next one's records,
// and the oldest is handled, each the same way and in the same order as
// without the wait. Holding frames costs a copy of each, which only pays
// while the transfers in progress outgrow the cache; otherwise, and always
// for a pipe or terminal (so that live input is never held back), frames are
// handled as they come.
constexpr std::size_t LOOKAHEAD = 2;
constexpr std::size_t LOOKAHEAD_MIN_TRANSFERS = 1024;

struct held_frame {
  pcap_pkthdr header{};
  std::vector<u_char> bytes;
  bool peeked = false;  // `ends` holds the ends of a TFTP message
  datagram_ends ends{};
};

bool reads_regular_file(pcap_t *handle) {
  std::FILE *stream = pcap_file(handle);
  struct stat info{};
  return stream != nullptr && fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

// pcap_loop's work, with the lookahead when `ahead` and transfers in
// progress are many.
// Returns pcap_loop's result: 0 at the end of the capture, -1 on a read
// error.
int read_frames(pcap_t *handle, int link_type, packet_handler handler, bool ahead) {
  std::array<held_frame, LOOKAHEAD + 1> ring;
  std::size_t read_count = 0;
  std::size_t handled = 0;
  auto handle_held = [&]() {
    held_frame &f = ring[handled++ % ring.size()];
    handler(nullptr, &f.header, f.bytes.data());
  };
  int status;
  pcap_pkthdr *header;
  const u_char *bytes;
  while ((status = pcap_next_ex(handle, &header, &bytes)) == 1) {
    if (!ahead || output_files_in_progress() < LOOKAHEAD_MIN_TRANSFERS) {
      // Frames still held go first.
      while (handled < read_count) handle_held();
      handler(nullptr, header, bytes);
      continue;
    }
    held_frame &f = ring[read_count % ring.size()];
    f.header = *header;
    // Never empty, so that data() points somewhere even for an empty frame.
    f.bytes.assign(bytes, bytes + header->caplen);
    f.bytes.push_back(0);
    f.peeked = peek_datagram_ends(link_type, {bytes, header->caplen}, f.ends);
    if (f.peeked) prefetch_transfer_slots(f.ends);
    ++read_count;
    if (read_count >= 2) {
      const held_frame &next = ring[(read_count - 2) % ring.size()];
      if (next.peeked) prefetch_transfer_records(next.ends);
    }
    if (read_count > LOOKAHEAD) handle_held();
  }
  // The frames still held come before whatever ended the loop is reported.
  while (handled < read_count) handle_held();
  return status == -1 ? -1 : 0;
}

}  // namespace

int run_capture(const char *path, const char *filter_text) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_handle handle(open_capture(path, errbuf));
  if (!handle) log_error(2, "unable to open pcap file %s: %s", path, errbuf);
  const int link_type = pcap_datalink(handle.get());
  const packet_handler handler = handler_for_datalink(link_type);
  std::fprintf(stderr, "reading from file %s, using datalink type %d\n", path, link_type);
  if (pcap_compile(handle.get(), &filter_program, filter_text, 0, 0) < 0)
    log_error(2, "unable to compile pcap filter %s: %s", filter_text, pcap_geterr(handle.get()));
  if (pcap_setfilter(handle.get(), &filter_program) < 0)
    log_error(2, "unable to set pcap filter %s: %s", filter_text, pcap_geterr(handle.get()));
  int result = 0;
  if (read_frames(handle.get(), link_type, handler, reads_regular_file(handle.get())) < 0) {
    log_error(0, "failed processing packets: %s", pcap_geterr(handle.get()));
    result = 1;
  }
  return result;
}
