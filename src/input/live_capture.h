// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <pcap/pcap.h>

// Opens `interface` ("any" for all of them) for a live capture: immediate
// mode, so that each frame is handed on as it comes; whole frames of up to
// 262,144 bytes; promiscuous unless asked not to be. Missing privileges, an
// unknown interface or any other failure end the process with status 2.
pcap_t *open_live_capture(const char *interface, bool promiscuous);

// Frames the kernel had to drop because the run did not read them in time
// are content missing from transfers: said once the capture ends, never
// left silent.
void warn_of_lost_frames(pcap_t *handle);
