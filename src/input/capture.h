// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// input/: which frames reach decoding. It opens the capture, composes,
// compiles and runs the filter, walks each frame's link layout (VLAN tags,
// the IPv6 form the filter reads) and hands the frames that pass to
// decode/; the progress line lives here too. It never parses IP, UDP or
// TFTP itself, and never writes a carved file or the report.

#include <pcap/pcap.h>

#include <memory>
#include <string>
#include <vector>

#include "input/frame.h"

struct pcap_closer {
  void operator()(pcap_t *handle) const { pcap_close(handle); }
};
using pcap_handle = std::unique_ptr<pcap_t, pcap_closer>;

// Where the frames come from: capture files (one or several, read as one),
// or an interface.
struct capture_input {
  std::vector<std::string> files;
  const char *interface = nullptr;  // -i
  bool promiscuous = true;          // cleared by -p
};

// Opens the capture, installs the filter and runs every frame through the
// handler of its link type. Returns the run result: 0, or 1 when the packet
// loop failed. Set-up failures end the process with status 2.
int run_capture(const capture_input &input, const char *filter_text);

// What each capture of a run shares with the others (capture_set.h).

// A compiled filter; the capture handle keeps its own copy once it is set.
struct compiled_filter {
  bpf_program program{};
  compiled_filter() = default;
  compiled_filter(const compiled_filter &) = delete;
  compiled_filter &operator=(const compiled_filter &) = delete;
  ~compiled_filter() { pcap_freecode(&program); }
};

// Writes `announce` (a format taking `name` and the link type), compiles
// the filter for the capture's link type and lays its frames'
// path; a filter that does not compile ends the process with status 2.
frame_path prepare_frame_path(pcap_t *handle, const char *announce, const char *name, const char *filter_text,
                              compiled_filter &filter);

// Every frame of every capture, with `user` pointing to its frame_path.
void capture_frame(u_char *user, const pcap_pkthdr *header, const u_char *frame);

// Marks the input as live (a pipe, a terminal, an interface): what counted
// goes out before the next frame is waited for, and a transfer's digest as
// soon as it ends.
void note_live_input();

// Catches the stop signals; true once one came.
void catch_stop_signals();
bool stop_requested();
