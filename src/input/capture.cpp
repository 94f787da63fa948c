#include "input/capture.h"

#include <stdio_ext.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "base/capture_clock.h"
#include "decode/fragment.h"
#include "input/frame.h"
#include "decode/link.h"
#include "output/hash_worker.h"
#include "output/write_buffer.h"
#include "base/log.h"
#include "input/progress.h"
#include "tftp/lifecycle.h"
#include "tftp/transfer.h"

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
  // Only this thread reads the capture (the hashing thread never touches a
  // stream): libpcap's two reads a frame need not take the stream's lock,
  // a locked instruction that waits for every pending store.
  __fsetlocking(stream, FSETLOCKING_BYCALLER);
  pcap_t *handle = pcap_fopen_offline(stream, errbuf);
  // On success the handle owns the stream (and never closes standard input).
  if (handle == nullptr && !from_stdin) std::fclose(stream);
  return handle;
}

// SIGINT, SIGTERM and SIGHUP end the run as the end of the capture does, so
// that a live run stopped by Ctrl-C, a service manager or a closed terminal
// still finishes its files, its warnings and its report; a second signal
// ends the process at once. The handler only asks libpcap to stop (its
// documented way out of a loop from a signal handler); without SA_RESTART a
// read blocked on a pipe returns at once too.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
volatile std::sig_atomic_t stop_requests = 0;
pcap_t *volatile looping = nullptr;

void on_stop_signal(int signal_number) {
  if (stop_requests > 0) {
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
    return;
  }
  stop_requests = 1;
  if (pcap_t *handle = looping) pcap_breakloop(handle);
}

// A SIGHUP ignored from the start (nohup) stays ignored.
void catch_stop_signals() {
  struct sigaction action{};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (const int s : STOP_SIGNALS) {
    struct sigaction before{};
    if (s == SIGHUP && sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

// Once a second of capture time, the records too old to matter go: finished
// transfers long idle, fragments that will never complete.
constexpr std::int64_t SWEEP_EVERY_US = 1000000;
std::int64_t next_sweep_us = 0;

// Input from a pipe, a socket or a terminal, where the next frame may be
// long in coming.
bool live_input = false;

bool reads_regular_file(pcap_t *handle) {
  std::FILE *stream = pcap_file(handle);
  struct stat info{};
  return stream != nullptr && fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

void forget_what_is_old() {
  if (capture_latest_us < next_sweep_us) return;
  next_sweep_us = capture_latest_us + SWEEP_EVERY_US;
  forget_idle_transfers();
  frag_expire(capture_latest_us);
}

// Every frame: its capture time for whatever it causes, the progress line,
// then its way through the filter to its link type's handler.
void each_frame(u_char *user, const pcap_pkthdr *header, const u_char *frame) {
  capture_now_us = static_cast<std::int64_t>(header->ts.tv_sec) * 1000000 + header->ts.tv_usec;
  if (capture_now_us > capture_latest_us) capture_latest_us = capture_now_us;
  forget_what_is_old();
  progress_frame();
  take_frame(*reinterpret_cast<const frame_path *>(user), header, frame);
  // Live input: what counted goes out before the next frame is waited for.
  if (live_input) output_flush_latest();
}

}  // namespace

int run_capture(const char *path, const char *filter_text) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  catch_stop_signals();
  pcap_handle handle(open_capture(path, errbuf));
  // Stopped before the capture's header came: nothing to read.
  if (!handle && stop_requests > 0) return 0;
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
  progress_start(handle.get());
  live_input = !reads_regular_file(handle.get());
  // Live, a transfer's digest is wanted as soon as it ends.
  if (live_input) hash_in_place();
  looping = handle.get();
  // A signal that came before the loop started.
  if (stop_requests > 0) pcap_breakloop(handle.get());
  const int looped = pcap_loop(handle.get(), -1, each_frame, reinterpret_cast<u_char *>(&frames));
  looping = nullptr;
  progress_stop();
  // Stopped by a signal: whatever the interrupted read said, the capture
  // ends here, as a normal end.
  if (looped < 0 && stop_requests == 0) {
    log_error(0, "failed processing packets: %s", pcap_geterr(handle.get()));
    result = 1;
  }
  return result;
}
