#pragma once

// input/: which frames reach decoding. It opens the capture, composes,
// compiles and runs the filter, walks each frame's link layout (VLAN tags,
// the IPv6 form the filter reads) and hands the frames that pass to
// decode/; the progress line lives here too. It never parses IP, UDP or
// TFTP itself, and never writes a carved file or the report.

#include <pcap/pcap.h>

#include <memory>

struct pcap_closer {
  void operator()(pcap_t *handle) const { pcap_close(handle); }
};
using pcap_handle = std::unique_ptr<pcap_t, pcap_closer>;

// Opens the capture, installs the filter and runs every frame through the
// handler of its link type. Returns the run result: 0, or 1 when the packet
// loop failed. Set-up failures end the process with status 2.
int run_capture(const char *path, const char *filter_text);
