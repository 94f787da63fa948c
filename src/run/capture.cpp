#include "run/capture.h"

#include <cstdio>

#include "decode/link.h"
#include "run/log.h"

namespace {

// The compiled filter lives until the process ends.
bpf_program filter_program{};

}  // namespace

int run_capture(const char *path, const char *filter_text) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_handle handle(pcap_open_offline(path, errbuf));
  if (!handle) log_error(2, "unable to open pcap file %s: %s", path, errbuf);
  const int link_type = pcap_datalink(handle.get());
  const packet_handler handler = handler_for_datalink(link_type);
  std::fprintf(stderr, "reading from file %s, using datalink type %d\n", path, link_type);
  if (pcap_compile(handle.get(), &filter_program, filter_text, 0, 0) < 0)
    log_error(2, "unable to compile pcap filter %s: %s", filter_text, pcap_geterr(handle.get()));
  if (pcap_setfilter(handle.get(), &filter_program) < 0)
    log_error(2, "unable to set pcap filter %s: %s", filter_text, pcap_geterr(handle.get()));
  int result = 0;
  if (pcap_loop(handle.get(), -1, handler, nullptr) < 0) {
    log_error(0, "failed processing packets: %s", pcap_geterr(handle.get()));
    result = 1;
  }
  return result;
}
