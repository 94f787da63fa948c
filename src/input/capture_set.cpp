// SPDX-License-Identifier: BSD-2-Clause
#include "input/capture_set.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "base/log.h"
#include "input/capture.h"
#include "input/capture_file.h"
#include "input/progress.h"

namespace {

// Where a frame stands in the merge: its capture time, then the place of its
// file in the list, so that frames of the same time keep the list's order.
using merge_key = std::pair<std::int64_t, std::size_t>;
constexpr merge_key NO_KEY{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::size_t>::max()};

std::int64_t time_us(const pcap_pkthdr &header) {
  return static_cast<std::int64_t>(header.ts.tv_sec) * 1000000 + header.ts.tv_usec;
}

// A file not opened yet, placed by the time of its first frame.
struct waiting_file {
  merge_key key;
};

// An open file and its next frame.
struct open_file {
  std::size_t index = 0;
  const char *path = nullptr;
  std::unique_ptr<char[]> buffer;
  pcap_handle handle;  // after the buffer: closed before the buffer goes
  compiled_filter filter;
  frame_path frames;
  pcap_pkthdr *header = nullptr;
  const u_char *data = nullptr;
  // A copy of the frame that ended a run of the file's frames, read past
  // while its turn had not come.
  pcap_pkthdr held_header{};
  std::vector<u_char> held_bytes;

  merge_key key() const { return {time_us(*header), index}; }

  void hold(const pcap_pkthdr *h, const u_char *bytes) {
    held_header = *h;
    held_bytes.assign(bytes, bytes + h->caplen);
    header = &held_header;
    data = held_bytes.data();
  }
};
using open_file_ptr = std::unique_ptr<open_file>;

// Standard input can be read once: the handle that looked at its first
// frame is kept, with that frame (valid until the handle reads again), to
// read it when its turn comes. Its decompressed stream, if any, is read
// through a buffer that is never freed.
struct held_stdin {
  pcap_handle handle;
  bool live = false;
  int got = 0;  // what pcap_next_ex said of the first frame
  pcap_pkthdr *header = nullptr;
  const u_char *data = nullptr;
};
held_stdin held;
char stdin_stream_buffer[CAPTURE_BUFFER];

pcap_t *open_or_fail(const char *path, char *buffer, bool &live) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_t *handle = open_capture_file(path, buffer, errbuf, live);
  if (handle == nullptr && !stop_requested()) log_error(2, "unable to open pcap file %s: %s", path, errbuf);
  return handle;
}

// The key of the first frame of each file. A file without one (empty, or
// unreadable at its first frame) is placed after the file before it in the
// list, so it is announced where a ring would have it.
std::vector<waiting_file> look_at_first_frames(const std::vector<std::string> &paths) {
  std::vector<waiting_file> files;
  files.reserve(paths.size());
  const std::unique_ptr<char[]> buffer(new char[CAPTURE_BUFFER]);
  std::int64_t previous = std::numeric_limits<std::int64_t>::min();
  for (std::size_t i = 0; i < paths.size() && !stop_requested(); ++i) {
    const bool from_stdin = paths[i] == "-";
    bool live;
    pcap_handle handle(open_or_fail(paths[i].c_str(), from_stdin ? stdin_stream_buffer : buffer.get(), live));
    if (!handle) break;
    pcap_pkthdr *header;
    const u_char *data;
    const int got = pcap_next_ex(handle.get(), &header, &data);
    if (got == 1) previous = time_us(*header);
    files.push_back({{previous, i}});
    if (from_stdin && !held.handle) held = {std::move(handle), live, got, header, data};
  }
  std::sort(files.begin(), files.end(), [](const waiting_file &a, const waiting_file &b) { return a.key < b.key; });
  return files;
}

// Whether the file has a next frame, `got` being what pcap_next_ex said of
// it; an error is said, and sets `failed`.
bool has_frame(open_file &file, int got, bool &failed) {
  if (got == 1) return true;
  if (got == -1 && !stop_requested()) {
    log_error(0, "failed processing packets: %s: %s", file.path, pcap_geterr(file.handle.get()));
    failed = true;
  }
  return false;
}

// Moves to the file's next frame; false at its end, or when it cannot be
// read further.
bool advance(open_file &file, bool &failed) {
  return has_frame(file, pcap_next_ex(file.handle.get(), &file.header, &file.data), failed);
}

// Opens a file when its first frame is due; null when it has no frame.
open_file_ptr open_when_due(const std::vector<std::string> &paths, std::size_t index, const char *filter_text,
                            bool &failed) {
  auto file = std::make_unique<open_file>();
  file->index = index;
  file->path = paths[index].c_str();
  const bool held_here = paths[index] == "-" && held.handle;
  bool live = held.live;
  if (held_here) {
    file->handle = std::move(held.handle);
  } else {
    file->buffer.reset(new char[CAPTURE_BUFFER]);
    file->handle.reset(open_or_fail(file->path, file->buffer.get(), live));
    if (!file->handle) return nullptr;
  }
  file->frames = prepare_frame_path(file->handle.get(), "reading from file %s, using datalink type %d\n",
                                    file->path, filter_text, file->filter);
  if (live) note_live_input();
  if (held_here) {
    file->header = held.header;
    file->data = held.data;
    return has_frame(*file, held.got, failed) ? std::move(file) : nullptr;
  }
  return advance(*file, failed) ? std::move(file) : nullptr;
}

}  // namespace

namespace {

// A run of one file's frames, read by pcap_loop for as long as they come
// before `bound`: what it costs per frame is what a single file's does.
struct frame_run {
  open_file *file;
  merge_key bound;
};

void take_until_bound(u_char *user, const pcap_pkthdr *header, const u_char *frame) {
  frame_run &run = *reinterpret_cast<frame_run *>(user);
  open_file &file = *run.file;
  if (merge_key{time_us(*header), file.index} < run.bound && !stop_requested()) {
    capture_frame(reinterpret_cast<u_char *>(&file.frames), header, frame);
    return;
  }
  file.hold(header, frame);
  pcap_breakloop(file.handle.get());
}

// The open files but the one being read, earliest next frame first.
class open_files {
 public:
  bool empty() const { return heap_.empty(); }
  merge_key front_key() const { return heap_.empty() ? NO_KEY : heap_.front()->key(); }
  void push(open_file_ptr file) {
    heap_.push_back(std::move(file));
    std::push_heap(heap_.begin(), heap_.end(), later);
  }
  open_file_ptr pop() {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    open_file_ptr file = std::move(heap_.back());
    heap_.pop_back();
    return file;
  }

 private:
  static bool later(const open_file_ptr &a, const open_file_ptr &b) { return a->key() > b->key(); }
  std::vector<open_file_ptr> heap_;
};

// The merge: the frames of the open files and the first frames of the
// files still waiting, earliest first.
struct merge {
  const std::vector<std::string> &paths;
  const char *filter_text;
  std::vector<waiting_file> waiting;
  std::size_t next_waiting = 0;
  open_files open;
  bool failed = false;

  merge_key waiting_key() const { return next_waiting < waiting.size() ? waiting[next_waiting].key : NO_KEY; }

  // The file whose frame comes next, opening waiting files as they become
  // due; null once every file has ended.
  open_file_ptr next_file() {
    while (next_waiting < waiting.size() || !open.empty()) {
      if (waiting_key() < open.front_key()) {
        if (open_file_ptr file = open_when_due(paths, waiting[next_waiting++].key.second, filter_text, failed))
          open.push(std::move(file));
        continue;
      }
      return open.pop();
    }
    return nullptr;
  }

  // Reads `file` for as long as its frames come before every other file's;
  // false when it has ended (and is to be closed).
  bool read_run(open_file &file) {
    frame_run run{&file, std::min(open.front_key(), waiting_key())};
    if (!(file.key() < run.bound)) return true;
    capture_frame(reinterpret_cast<u_char *>(&file.frames), file.header, file.data);
    if (stop_requested()) return false;
    const int looped = pcap_loop(file.handle.get(), -1, take_until_bound, reinterpret_cast<u_char *>(&run));
    // Broken off at a frame whose turn had not come: it is held.
    if (looped == PCAP_ERROR_BREAK) return !stop_requested();
    has_frame(file, looped == 0 ? 0 : -1, failed);
    return false;
  }
};

}  // namespace

int run_capture_set(const std::vector<std::string> &paths, const char *filter_text) {
  merge m{paths, filter_text, look_at_first_frames(paths), 0, {}, false};
  progress_start_stream();
  while (!stop_requested()) {
    open_file_ptr file = m.next_file();
    if (!file) break;
    if (m.read_run(*file)) m.open.push(std::move(file));
  }
  progress_stop();
  held.handle.reset();
  return m.failed ? 1 : 0;
}
