// SPDX-License-Identifier: BSD-2-Clause
#include "report/trace.h"

#include <cstdio>

#include "base/log.h"
#include "base/options.h"
#include "base/wire_text.h"
#include "report/dump.h"
#include "report/run_status.h"

namespace {

void print_option_suffixes(const tftp_msg_t &msg) {
  if (msg.blksize) std::printf(" blksize=%s", wire_text(msg.blksize).c_str());
  if (msg.timeout) std::printf(" timeout=%s", wire_text(msg.timeout).c_str());
  if (msg.tsize) std::printf(" tsize=%s", wire_text(msg.tsize).c_str());
  if (msg.windowsize) std::printf(" windowsize=%s", wire_text(msg.windowsize).c_str());
}

// Prints the line of a handled message.
void print_handled(const char *src, std::uint16_t sport, const char *dst, std::uint16_t dport,
                   const tftp_msg_t &msg) {
  switch (msg.op) {
    case tftp_op::data:
      std::printf("%-5s %s:%d > %s:%d %d %d\n", "DATA", src, sport, dst, dport, msg.data_block, msg.datalen);
      break;
    case tftp_op::ack:
      std::printf("%-5s %s:%d > %s:%d %d\n", "ACK", src, sport, dst, dport, msg.ack_block);
      break;
    case tftp_op::error:
      std::printf("%-5s %s:%d > %s:%d %d \"%s\"\n", "ERROR", src, sport, dst, dport, msg.error_code,
                  wire_text(msg.error_msg).c_str());
      break;
    default:
      std::printf("%-5s %s:%d > %s:%d", "OACK", src, sport, dst, dport);
      print_option_suffixes(msg);
      std::putchar('\n');
      break;
  }
}

}  // namespace

void trace_exchange(trace_outcome outcome, const datagram_ends &ends, const tftp_msg_t &msg, bytes_t payload) {
  const int needed = outcome == trace_outcome::request ? 1 : outcome == trace_outcome::handled ? 2 : 3;
  if (verbose < needed) return;
  log_status_clear();
  const address_text src = to_text(ends.src);
  const address_text dst = to_text(ends.dst);
  switch (outcome) {
    case trace_outcome::request:
      std::printf("%-5s %s:%d > %s:%d \"%s\" %s", msg.op == tftp_op::rrq ? "READ" : "WRITE", src.text, ends.sport,
                  dst.text, ends.dport, wire_text(msg.filename).c_str(), wire_text(msg.mode).c_str());
      print_option_suffixes(msg);
      std::putchar('\n');
      break;
    case trace_outcome::handled:
      print_handled(src.text, ends.sport, dst.text, ends.dport, msg);
      break;
    case trace_outcome::unmatched:
      std::printf("%-5s %s:%d > %s:%d \n", "XXX", src.text, ends.sport, dst.text, ends.dport);
      break;
  }
  if (dump_packets) hex_dump(payload);
  std::fflush(stdout);
  run_stdout_ok("the trace");
}
