#include "run/capture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "decode/frame.h"
#include "decode/link.h"
#include "run/log.h"

namespace {

// A compiled filter; the capture handle keeps its own copy once it is set.
struct compiled_filter {
  bpf_program program{};
  ~compiled_filter() { pcap_freecode(&program); }
};

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

}  // namespace

int run_capture(const char *path, const char *filter_text) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_handle handle(open_capture(path, errbuf));
  if (!handle) log_error(2, "unable to open pcap file %s: %s", path, errbuf);
  const int link_type = pcap_datalink(handle.get());
  const packet_handler handler = handler_for_datalink(link_type);
  std::fprintf(stderr, "reading from file %s, using datalink type %d\n", path, link_type);
  compiled_filter filter;
  if (pcap_compile(handle.get(), &filter.program, filter_text, 0, 0) < 0)
    log_error(2, "unable to compile pcap filter %s: %s", filter_text, pcap_geterr(handle.get()));
  // Not installed with pcap_setfilter: each frame is filtered on its way to
  // the handler, in the form the program was compiled for (frame.h).
  frame_path frames = make_frame_path(handler, link_type, &filter.program, pcap_is_swapped(handle.get()) == 1);
  int result = 0;
  if (pcap_loop(handle.get(), -1, frames.take, reinterpret_cast<u_char *>(&frames)) < 0) {
    log_error(0, "failed processing packets: %s", pcap_geterr(handle.get()));
    result = 1;
  }
  return result;
}
