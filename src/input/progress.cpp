#include "input/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "output/output_file.h"
#include "base/log.h"
#include "tftp/transfer_table.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::uint64_t FRAMES_BETWEEN_LOOKS = 4096;
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(250);

std::uint64_t frames = 0;
std::FILE *capture_stream = nullptr;
double capture_size = 0;
clock_type::time_point started;
clock_type::time_point last_drawn;

void draw() {
  const long at = std::ftell(capture_stream);
  const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
  const double share = capture_size > 0 && at > 0 ? 100.0 * static_cast<double>(at) / capture_size : 0.0;
  const double rate = seconds > 0 && at > 0 ? static_cast<double>(at) / seconds / 1e6 : 0.0;
  char line[160];
  std::snprintf(line, sizeof line, "%5.1f%%  %llu frames  %zu transfers  %zu files  %.1f MB/s", share,
                static_cast<unsigned long long>(frames), transfers_tracked(), output_files_created(), rate);
  log_status(line);
}

}  // namespace

void progress_start(pcap_t *handle) {
  std::FILE *stream = pcap_file(handle);
  struct stat info{};
  if (!isatty(STDERR_FILENO) || stream == nullptr || fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode))
    return;
  capture_stream = stream;
  capture_size = static_cast<double>(info.st_size);
  started = last_drawn = clock_type::now();
}

void progress_frame() {
  ++frames;
  if (capture_stream == nullptr || (frames % FRAMES_BETWEEN_LOOKS != 0 && frames != 1)) return;
  const auto now = clock_type::now();
  if (now - last_drawn < REDRAW_EVERY && frames != 1) return;
  last_drawn = now;
  draw();
}

void progress_stop() {
  capture_stream = nullptr;
  log_status_clear();
}

std::uint64_t frames_read() { return frames; }
