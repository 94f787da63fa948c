// SPDX-License-Identifier: BSD-2-Clause
#include "input/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "output/block_output.h"
#include "output/output_file.h"
#include "base/log.h"
#include "tftp/transfer_table.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::uint64_t FRAMES_BETWEEN_LOOKS = 4096;
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(250);

std::uint64_t frames = 0;
// What is drawn: the share of a capture file read, or for input without an
// end known (a pipe, an interface, several files) what came of it so far.
enum class line_kind { none, file_share, stream };
line_kind drawing = line_kind::none;
std::FILE *capture_stream = nullptr;
double capture_size = 0;
clock_type::time_point started;
clock_type::time_point last_drawn;

void draw_file_share() {
  const long at = std::ftell(capture_stream);
  const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
  const double share = capture_size > 0 && at > 0 ? 100.0 * static_cast<double>(at) / capture_size : 0.0;
  const double rate = seconds > 0 && at > 0 ? static_cast<double>(at) / seconds / 1e6 : 0.0;
  char line[160];
  std::snprintf(line, sizeof line, "%5.1f%%  %llu frames  %zu transfers  %zu files  %.1f MB/s", share,
                static_cast<unsigned long long>(frames), transfers_tracked(), output_files_created(), rate);
  log_status(line);
}

void draw_stream() {
  char line[160];
  std::snprintf(line, sizeof line, "%llu frames  %zu transfers open  %llu finished  %.1f MB carved",
                static_cast<unsigned long long>(frames), transfers_open(),
                static_cast<unsigned long long>(transfers_finished()),
                static_cast<double>(output_bytes_carved()) / 1e6);
  log_status(line);
}

// Frames may be far apart: the clock is looked at on each.
void progress_stream_frame() {
  const auto now = clock_type::now();
  if (now - last_drawn < REDRAW_EVERY && frames != 1) return;
  last_drawn = now;
  draw_stream();
}

}  // namespace

void progress_start(pcap_t *handle) {
  std::FILE *stream = pcap_file(handle);
  struct stat info{};
  if (!isatty(STDERR_FILENO)) return;
  if (stream == nullptr || fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) {
    progress_start_stream();
    return;
  }
  drawing = line_kind::file_share;
  capture_stream = stream;
  capture_size = static_cast<double>(info.st_size);
  started = last_drawn = clock_type::now();
}

void progress_start_stream() {
  if (!isatty(STDERR_FILENO)) return;
  drawing = line_kind::stream;
  started = last_drawn = clock_type::now();
  draw_stream();
}

void progress_frame() {
  ++frames;
  if (drawing == line_kind::none) return;
  if (drawing == line_kind::stream) return progress_stream_frame();
  if (frames % FRAMES_BETWEEN_LOOKS != 0 && frames != 1) return;
  const auto now = clock_type::now();
  if (now - last_drawn < REDRAW_EVERY && frames != 1) return;
  last_drawn = now;
  draw_file_share();
}

void progress_stop() {
  drawing = line_kind::none;
  capture_stream = nullptr;
  log_status_clear();
}

std::uint64_t frames_read() { return frames; }
