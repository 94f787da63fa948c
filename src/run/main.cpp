// SPDX-License-Identifier: BSD-2-Clause
// run/: the top of the house: the command line, where files and the report
// go, and the run's exit status. Every other folder lies below it; nothing
// includes it.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <getopt.h>

#include "base/standard_output.h"
#include "decode/fragment.h"
#include "output/block_output.h"
#include "output/output_file.h"
#include "report/report.h"
#include "report/run_status.h"
#include "report/summary.h"
#include "input/capture.h"
#include "input/filter.h"
#include "base/log.h"
#include "input/progress.h"
#include "input/same_file.h"
#include "tftp/endings.h"
#include "tftp/transfer.h"

namespace {

void print_usage(const char *program_name) {
  std::printf("Usage: %s [OPTION]... [-r FILE]... [EXPRESSION]\n", program_name);
  std::fputs("Reconstruct TFTP file contents from PCAP capture file.\n"
             "With no FILE, or when FILE is -, read standard input.\n"
             "   -r       PCAP file to read (repeat to read several as one; may be compressed)\n"
             "   -V FILE  read the PCAP files named in FILE, one per line\n"
             "   -i IFACE capture live on interface IFACE (any: every interface)\n"
             "   -p       do not put the interface into promiscuous mode\n"
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
             "   --strict   exit with status 5 when any transfer is not complete\n"
             "   --summary[=WHEN]  print a summary on standard error: auto (a terminal), always, never\n"
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

// -V: the capture files named in `list`, one a line ("-": standard input).
void add_listed_files(const char *list, std::vector<std::string> &files) {
  const bool from_stdin = std::strcmp(list, "-") == 0;
  std::FILE *stream = from_stdin ? stdin : std::fopen(list, "r");
  if (stream == nullptr) log_error(2, "unable to access file %s: %s", list, std::strerror(errno));
  char *line = nullptr;
  std::size_t size = 0;
  ssize_t n;
  while ((n = getline(&line, &size, stream)) > 0) {
    if (line[n - 1] == '\n') line[--n] = '\0';
    if (n == 0) continue;
    check_readable(line);
    files.emplace_back(line, static_cast<std::size_t>(n));
  }
  std::free(line);
  if (!from_stdin) std::fclose(stream);
}

// The status of a run in which an output, the trace or the report could not
// be written (a full disk, an I/O error).
constexpr int OUTPUT_FAILED_STATUS = 4;

// Long options; each long-only one has a code above every option letter.
enum long_only : int { OPT_REPORT = 256, OPT_VERSION, OPT_STRICT, OPT_SUMMARY };

// With --strict, the status of a run in which a transfer did not complete.
constexpr int NOT_WHOLE_STATUS = 5;

constexpr option LONG_OPTIONS[] = {
    {"report", required_argument, nullptr, OPT_REPORT},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"strict", no_argument, nullptr, OPT_STRICT},
    {"summary", optional_argument, nullptr, OPT_SUMMARY},
    {nullptr, 0, nullptr, 0},
};

// What the command line asks beside the option settings.
struct command_line {
  capture_input input;
  const char *report = nullptr;
  const char *folder = nullptr;
  int usage_status = -1;  // -1: no usage text due
  bool version = false;
  bool strict = false;
  summary_when summary = summary_when::automatic;
};

command_line parse_options(int argc, char *argv[]) {
  command_line cl;
  int option;
  // "+" keeps GNU getopt from permuting: parsing stops at the first word that
  // is not an option, and the rest are filter words even if they look like
  // options.
  while ((option = getopt_long(argc, argv, "+vr:V:i:phd:XcfEBo:6", LONG_OPTIONS, nullptr)) != -1) {
    switch (option) {
      case 'v': ++verbose; break;
      case 'r': check_readable(optarg); cl.input.files.emplace_back(optarg); break;
      case 'V': add_listed_files(optarg, cl.input.files); break;
      case 'i': cl.input.interface = optarg; break;
      case 'p': cl.input.promiscuous = false; break;
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
      case OPT_STRICT: cl.strict = true; break;
      case OPT_SUMMARY:
        if (!summary_parse(optarg, cl.summary)) cl.usage_status = 1;
        break;
      default: cl.usage_status = 1; break;
    }
  }
  return cl;
}

// The capture files read: standard input when none is named and no
// interface is.
std::vector<const char *> input_paths(const capture_input &input) {
  std::vector<const char *> paths;
  for (const std::string &file : input.files) paths.push_back(file.c_str());
  if (paths.empty() && input.interface == nullptr) paths.push_back("-");
  return paths;
}

// A missing output folder is made, with its parents, for this user alone:
// it will hold what the capture carried.
void make_folder(const char *folder) {
  std::string path = folder;
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

// What can only be a mistake is refused before anything is read.
void refuse_mistakes(const command_line &cl) {
  if (cl.input.files.empty() && !cl.input.interface && isatty(STDIN_FILENO))
    log_error(2, "no capture: give -r FILE, or pipe a capture into standard input");
  if (!cl.report || std::strcmp(cl.report, "-") != 0) return;
  // Both would write standard output.
  if (print_console) log_error(2, "unable to write the report to standard output with -c");
  if (verbose) log_error(2, "unable to write the report to standard output with -v");
  if (dump_packets) log_error(2, "unable to write the report to standard output with -X");
}

// Where files and the report go; failures end the process with status 2.
// Nothing is opened for writing before the report is known not to be an
// input: opening it empties it.
void set_up_outputs(const command_line &cl) {
  refuse_mistakes(cl);
  if (cl.report && std::strcmp(cl.report, "-") != 0 && names_an_input(cl.report, input_paths(cl.input)))
    log_error(2, "unable to write the report to %s: it is an input", cl.report);
  struct stat info{};
  if (cl.folder && stat(cl.folder, &info) != 0 && errno == ENOENT) make_folder(cl.folder);
  if (cl.folder && !output_use_folder(cl.folder))
    log_error(2, "unable to use output folder %s: %s", cl.folder, std::strerror(errno));
  if (cl.strict) report_want_verdicts();
  summary_set(cl.summary);
  if (!cl.report) return;
  if (!report_open(cl.report)) log_error(2, "unable to open report file %s: %s", cl.report, std::strerror(errno));
}

// The version, then the commit the build came from when it came from a git
// work tree; the first line is what scripts have always read.
void print_version() {
  std::printf("tftpcarve %s\n", TFTPCARVE_VERSION);
#ifdef TFTPCARVE_COMMIT
  std::printf("commit %s\n", TFTPCARVE_COMMIT);
#endif
}

void report_run_facts(const command_line &cl, const std::string &filter_text, int argc, char *argv[]) {
  run_facts_t run;
  for (const std::string &file : cl.input.files) run.inputs.push_back(file);
  if (cl.input.interface) run.inputs.push_back(cl.input.interface);
  // No -r: standard input.
  if (run.inputs.empty()) run.inputs.push_back("-");
  run.filter = filter_text;
  for (int i = 1; i < argc; ++i) run.arguments.push_back(argv[i]);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  run.start_us = static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  report_run(run);
}

bool not_all_whole() {
  for (const transfer_verdict v : {transfer_verdict::incomplete, transfer_verdict::error, transfer_verdict::failed,
                                   transfer_verdict::unanswered})
    if (transfers_with_verdict(v) != 0) return true;
  return false;
}

}  // namespace

int main(int argc, char *argv[]) {
  standard_streams_retry_writes();
  frag_table_init();
  const command_line cl = parse_options(argc, argv);
  if (cl.usage_status >= 0) {
    print_usage(argv[0]);
    std::exit(cl.usage_status);
  }
  if (cl.version) {
    print_version();
    std::exit(0);
  }
  const std::string filter_text = compose_filter(argc - optind, argv + optind);
  set_up_outputs(cl);
  // A fatal exit closes the files and writes the report's held lines.
  set_fatal_exit_hook([] {
    close_all_outputs();
    report_drain();
  });
  if (cl.input.interface != nullptr && !cl.input.files.empty())
    log_error(2, "unable to read capture files and capture live at once");
  report_run_facts(cl, filter_text, argc, argv);
  const int result = run_capture(cl.input, filter_text.c_str());
  flush_all_requests();
  frag_release_all();
  report_summary(frames_read());
  summary_print();
  const bool report_written = report_close();
  // Told once, whichever write found it.
  run_stdout_closed();
  if (!report_written) log_warning("unable to write the report: %s", std::strerror(errno));
  // Something could not be written: the run is not a success, whatever
  // else happened.
  if (run_failures() != 0 || !report_written) std::exit(OUTPUT_FAILED_STATUS);
  if (result == 0 && cl.strict && not_all_whole()) std::exit(NOT_WHOLE_STATUS);
  std::exit(result);
}
