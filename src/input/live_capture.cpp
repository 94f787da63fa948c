// SPDX-License-Identifier: BSD-2-Clause
#include "input/live_capture.h"

#include <memory>

#include "base/log.h"
#include "report/hints.h"

namespace {

constexpr int SNAP_LENGTH = 262144;
// Room for bursts while the files are written. In immediate mode the
// kernel's ring has one slot a frame, as large as the largest frame the
// interface may hand over (64 KiB where it offloads segmentation, as veth
// and most NICs do): 64 MiB is about 1,000 frames, where 8 MiB was 128, so
// few enough that a run stalled for a moment by a busy disk lost frames.
constexpr int KERNEL_BUFFER = 64 << 20;

struct pcap_closer {
  void operator()(pcap_t *handle) const { pcap_close(handle); }
};

// Why activation failed, in the words a user can act on.
const char *hint_for(int status) {
  switch (status) {
    case PCAP_ERROR_PERM_DENIED:
    case PCAP_ERROR_PROMISC_PERM_DENIED: return " (capturing needs root or the CAP_NET_RAW capability)";
    default: return "";
  }
}

void fail(const char *interface, int status, pcap_t *handle) {
  const char *detail = handle != nullptr && *pcap_geterr(handle) != '\0' ? pcap_geterr(handle) : pcap_statustostr(status);
  log_error(2, "unable to capture on interface %s: %s%s", interface, detail, hint_for(status));
}

}  // namespace

pcap_t *open_live_capture(const char *interface, bool promiscuous) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  std::unique_ptr<pcap_t, pcap_closer> handle(pcap_create(interface, errbuf));
  if (!handle) log_error(2, "unable to capture on interface %s: %s", interface, errbuf);
  pcap_set_snaplen(handle.get(), SNAP_LENGTH);
  pcap_set_promisc(handle.get(), promiscuous ? 1 : 0);
  pcap_set_immediate_mode(handle.get(), 1);
  pcap_set_buffer_size(handle.get(), KERNEL_BUFFER);
  const int status = pcap_activate(handle.get());
  if (status < 0) fail(interface, status, handle.get());
  if (status > 0) {
    const char *detail = *pcap_geterr(handle.get()) != '\0' ? pcap_geterr(handle.get()) : pcap_statustostr(status);
    log_warning("capturing on interface %s: %s", interface, detail);
  }
  return handle.release();
}

void warn_of_lost_frames(pcap_t *handle) {
  pcap_stat counts{};
  if (pcap_stats(handle, &counts) != 0) return;
  hint_count(hint::kernel_drop, std::uint64_t{counts.ps_drop} + counts.ps_ifdrop);
  if (counts.ps_drop > 0)
    log_warning("%u frames dropped by the kernel before they were read: transfers may lack content",
                counts.ps_drop);
  if (counts.ps_ifdrop > 0)
    log_warning("%u frames dropped by the interface: transfers may lack content", counts.ps_ifdrop);
}
