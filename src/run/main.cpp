#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "decode/fragment.h"
#include "run/capture.h"
#include "run/filter.h"
#include "run/log.h"
#include "tftp/transfer.h"

namespace {

void print_usage(const char *program_name) {
  std::printf("Usage: %s [OPTION]... [-r FILE] [EXPRESSION]\n", program_name);
  std::fputs("Reconstruct TFTP file contents from PCAP capture file.\n"
             "With no FILE, or when FILE is -, read standard input.\n"
             "   -r       PCAP file to read\n"
             "   -f       overwrite existing files\n"
             "   -c       print TFTP file contents to console\n"
             "   -E       exclude TFTP filename when reconstructing\n"
             "   -6       also reconstruct TFTP over IPv6\n"
             "   -v       print verbose TFTP exchanges (repeat up to three times)\n"
             "   -X       dump TFTP packet contents\n"
             "   -B       check packets for bad checksums\n"
             "   -d       specify debugging level\n",
             stdout);
}

void set_debug_level(const char *argument) {
  const int value = static_cast<int>(std::strtol(argument, nullptr, 10));
  if (value < 0) {
    log_warning("bad debug-level: %d; setting to %d", value, debug_level);
    return;
  }
  debug_level = value;
}

void check_readable(const char *path) {
  if (std::strcmp(path, "-") == 0) return;
  struct stat info{};
  if (stat(path, &info) != 0) log_error(2, "unable to access file %s: %s", path, std::strerror(errno));
}

}  // namespace

int main(int argc, char *argv[]) {
  frag_table_init();
  const char *path = "-";
  int usage_status = -1;  // -1: no usage text due
  int option;
  // "+" keeps GNU getopt from permuting: parsing stops at the first word that
  // is not an option, and the rest are filter words even if they look like
  // options.
  while ((option = getopt(argc, argv, "+vr:hd:XcfEB6")) != -1) {
    switch (option) {
      case 'v': ++verbose; break;
      case 'r': path = optarg; check_readable(path); break;
      case 'h': usage_status = 0; break;
      case 'd': set_debug_level(optarg); break;
      case 'X': dump_packets = 1; break;
      case 'c': print_console = 1; break;
      case 'f': overwrite = 1; break;
      case 'E': use_filename = 0; break;
      case 'B': check_checksums = 1; break;
      case '6': decode_ipv6 = 1; break;
      default: usage_status = 1; break;
    }
  }
  if (usage_status >= 0) {
    print_usage(argv[0]);
    std::exit(usage_status);
  }
  const std::string filter_text = compose_filter(argc - optind, argv + optind);
  set_fatal_exit_hook(cut_all_outputs);
  const int result = run_capture(path, filter_text.c_str());
  flush_all_requests();
  frag_release_all();
  std::exit(result);
}
