// run/: the top of the house: the command line, where files and the report
// go, and the run's exit status. Every other folder lies below it; nothing
// includes it.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>

#include "decode/fragment.h"
#include "output/block_output.h"
#include "output/output_file.h"
#include "report/report.h"
#include "report/run_status.h"
#include "input/capture.h"
#include "input/filter.h"
#include "base/log.h"
#include "input/progress.h"
#include "tftp/lifecycle.h"
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
             "   -d       specify debugging level\n"
             "   -o DIR   write the reconstructed files into DIR\n"
             "   --report FILE  write a JSON Lines report of every transfer to FILE (- for standard output)\n"
             "   --help     print this text\n"
             "   --version  print the version\n",
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

// The status of a run in which an output, the trace or the report could not
// be written (a full disk, an I/O error).
constexpr int OUTPUT_FAILED_STATUS = 4;

// Long options; each long-only one has a code above every option letter.
enum long_only : int { OPT_REPORT = 256, OPT_VERSION };

constexpr option LONG_OPTIONS[] = {
    {"report", required_argument, nullptr, OPT_REPORT},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

// What the command line asks beside the option settings.
struct command_line {
  const char *path = "-";
  const char *report = nullptr;
  const char *folder = nullptr;
  int usage_status = -1;  // -1: no usage text due
  bool version = false;
};

command_line parse_options(int argc, char *argv[]) {
  command_line cl;
  int option;
  // "+" keeps GNU getopt from permuting: parsing stops at the first word that
  // is not an option, and the rest are filter words even if they look like
  // options.
  while ((option = getopt_long(argc, argv, "+vr:hd:XcfEBo:6", LONG_OPTIONS, nullptr)) != -1) {
    switch (option) {
      case 'v': ++verbose; break;
      case 'r': cl.path = optarg; check_readable(cl.path); break;
      case 'h': cl.usage_status = 0; break;
      case 'd': set_debug_level(optarg); break;
      case 'X': dump_packets = 1; break;
      case 'c': print_console = 1; break;
      case 'f': overwrite = 1; break;
      case 'E': use_filename = 0; break;
      case 'B': check_checksums = 1; break;
      case 'o': cl.folder = optarg; break;
      case '6': decode_ipv6 = 1; break;
      case OPT_REPORT: cl.report = optarg; break;
      case OPT_VERSION: cl.version = true; break;
      default: cl.usage_status = 1; break;
    }
  }
  return cl;
}

// Where files and the report go; failures end the process with status 2.
void set_up_outputs(const command_line &cl) {
  if (cl.folder && !output_use_folder(cl.folder))
    log_error(2, "unable to use output folder %s: %s", cl.folder, std::strerror(errno));
  if (!cl.report) return;
  if (std::strcmp(cl.report, "-") == 0 && print_console)
    log_error(2, "unable to write the report to standard output with -c");
  if (!report_open(cl.report)) log_error(2, "unable to open report file %s: %s", cl.report, std::strerror(errno));
}

}  // namespace

int main(int argc, char *argv[]) {
  frag_table_init();
  const command_line cl = parse_options(argc, argv);
  if (cl.usage_status >= 0) {
    print_usage(argv[0]);
    std::exit(cl.usage_status);
  }
  if (cl.version) {
    std::printf("tftpcarve %s\n", TFTPCARVE_VERSION);
    std::exit(0);
  }
  const std::string filter_text = compose_filter(argc - optind, argv + optind);
  set_up_outputs(cl);
  // A fatal exit closes the files and writes the report's held lines.
  set_fatal_exit_hook([] {
    close_all_outputs();
    report_drain();
  });
  const int result = run_capture(cl.path, filter_text.c_str());
  flush_all_requests();
  frag_release_all();
  report_summary(frames_read());
  const bool report_written = report_close();
  if (!report_written) log_warning("unable to write the report: %s", std::strerror(errno));
  // Something could not be written: the run is not a success, whatever
  // else happened.
  std::exit(run_failures() != 0 || !report_written ? OUTPUT_FAILED_STATUS : result);
}
