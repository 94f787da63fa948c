// SPDX-License-Identifier: BSD-2-Clause
#include "input/capture.h"
#include "input/filter.h"

#include <malloc.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "base/capture_clock.h"
#include "decode/fragment.h"
#include "input/frame.h"
#include "decode/link.h"
#include "input/capture_file.h"
#include "input/capture_set.h"
#include "input/live_capture.h"
#include "input/quiet_stream.h"
#include "input/silence.h"
#include "output/hash_worker.h"
#include "output/write_buffer.h"
#include "report/run_status.h"
#include "base/log.h"
#include "input/progress.h"
#include "tftp/endings.h"
#include "tftp/transfer.h"

namespace {

// Capture files are read through this buffer (see CAPTURE_BUFFER) when
// only one is open at a time.
char capture_buffer[CAPTURE_BUFFER];

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

// Once a second of capture time, the records too old to matter go: finished
// transfers long idle, fragments that will never complete.
constexpr std::int64_t SWEEP_EVERY_US = 1000000;
std::int64_t next_sweep_us = 0;

// Input from a pipe, a socket or a terminal, where the next frame may be
// long in coming.
bool live_input = false;

// What the sweeps free lies scattered among records still in use, and the
// allocator keeps those pages: once a minute of capture time they go back
// to the system, so that a long run's memory follows what it holds.
constexpr int SWEEPS_PER_TRIM = 60;
int sweeps_since_trim = 0;

void forget_what_is_old() {
  if (capture_latest_us < next_sweep_us) return;
  next_sweep_us = capture_latest_us + SWEEP_EVERY_US;
  expire_transfers(capture_latest_us);
  frag_expire(capture_latest_us);
  if (++sweeps_since_trim < SWEEPS_PER_TRIM) return;
  sweeps_since_trim = 0;
  malloc_trim(0);
}

}  // namespace

// A stop signal ignored from the start stays ignored: SIGHUP under nohup,
// SIGINT in a background job of a shell, any of them under `trap ''`.
void catch_stop_signals() {
  struct sigaction action{};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (const int s : STOP_SIGNALS) {
    struct sigaction before{};
    if (sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

bool stop_requested() { return stop_requests > 0; }

// Every frame: its capture time for whatever it causes, the progress line,
// then its way through the filter to its link type's handler.
void capture_frame(u_char *user, const pcap_pkthdr *header, const u_char *frame) {
  capture_now_us = static_cast<std::int64_t>(header->ts.tv_sec) * 1000000 + header->ts.tv_usec;
  if (capture_now_us > capture_latest_us) capture_latest_us = capture_now_us;
  forget_what_is_old();
  progress_frame();
  take_frame(*reinterpret_cast<const frame_path *>(user), header, frame);
  // Live input: what counted goes out before the next frame is waited for.
  if (live_input) output_flush_latest();
  // Nobody reads standard output any more: the run ends as a stop signal
  // ends it.
  if (run_stdout_closed() && stop_requests == 0) {
    stop_requests = 1;
    if (pcap_t *handle = looping) pcap_breakloop(handle);
  }
}

void note_live_input() {
  if (live_input) return;
  live_input = true;
  // Live, a transfer's digest is wanted as soon as it ends.
  hash_in_place();
}

frame_path prepare_frame_path(pcap_t *handle, const char *announce, const char *name, const char *filter_text,
                              compiled_filter &filter) {
  const int link_type = pcap_datalink(handle);
  const packet_handler handler = handler_for_datalink(link_type);
  log_status_clear();
  std::fprintf(stderr, announce, name, link_type);
  if (pcap_compile(handle, &filter.program, filter_text, 0, 0) < 0) {
    struct stat info{};
    const bool names_file = filter_first_word && stat(filter_first_word, &info) == 0 && S_ISREG(info.st_mode);
    log_error(names_file ? 0 : 2, "unable to compile pcap filter %s: %s", filter_text, pcap_geterr(handle));
    log_error(2, "%s is a file: read it with -r %s", filter_first_word, filter_first_word);
  }
  // Not installed with pcap_setfilter: each frame is filtered on its way to
  // the handler, in the form the program was compiled for (frame.h).
  return make_frame_path(handler, link_type, &filter.program, pcap_is_swapped(handle) == 1);
}

namespace {

int loop_file(pcap_t *handle, frame_path &frames) {
  return pcap_loop(handle, -1, capture_frame, reinterpret_cast<u_char *>(&frames));
}

// In immediate mode libpcap's own read waits for a frame however long it
// takes, so the interface is read without blocking and waited on here.
int loop_interface(pcap_t *handle, frame_path &frames) {
  const int fd = pcap_get_selectable_fd(handle);
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  if (fd < 0 || pcap_setnonblock(handle, 1, errbuf) < 0) return loop_file(handle, frames);
  for (;;) {
    if (stop_requests > 0) return PCAP_ERROR_BREAK;
    const int taken = pcap_dispatch(handle, -1, capture_frame, reinterpret_cast<u_char *>(&frames));
    if (taken < 0) return taken;
    if (taken > 0) continue;
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, QUIET_WAKE_MS) == 0) count_silence();
  }
}

// One capture, a file or an interface, read to its end by `loop`.
int run_one(pcap_t *handle, bool live, const char *announce, const char *name, const char *filter_text,
            int (*loop)(pcap_t *, frame_path &) = loop_file) {
  compiled_filter filter;
  frame_path frames = prepare_frame_path(handle, announce, name, filter_text, filter);
  int result = 0;
  progress_start(handle);
  if (live) note_live_input();
  looping = handle;
  // A signal that came before the loop started.
  if (stop_requests > 0) pcap_breakloop(handle);
  const int looped = loop(handle, frames);
  looping = nullptr;
  progress_stop();
  // Stopped by a signal: whatever the interrupted read said, the capture
  // ends here, as a normal end.
  if (looped < 0 && stop_requests == 0) {
    log_error(0, "failed processing packets: %s", pcap_geterr(handle));
    result = 1;
  }
  return result;
}

int run_file(const char *path, const char *filter_text) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  bool live = false;
  pcap_handle handle(open_capture_file(path, capture_buffer, errbuf, live, count_silence));
  // Stopped before the capture's header came: nothing to read.
  if (!handle && stop_requests > 0) return 0;
  if (!handle) log_error(2, "unable to open pcap file %s: %s", path, errbuf);
  return run_one(handle.get(), live, "reading from file %s, using datalink type %d\n", path, filter_text);
}

}  // namespace

int run_capture(const capture_input &input, const char *filter_text) {
  catch_stop_signals();
  if (input.interface != nullptr) {
    pcap_handle handle(open_live_capture(input.interface, input.promiscuous));
    const int result =
        run_one(handle.get(), true, "listening on %s, using datalink type %d\n", input.interface, filter_text,
                loop_interface);
    warn_of_lost_frames(handle.get());
    return result;
  }
  if (input.files.size() > 1) return run_capture_set(input.files, filter_text);
  return run_file(input.files.empty() ? "-" : input.files.front().c_str(), filter_text);
}
