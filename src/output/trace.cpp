#include <cstdio>
#include <cstring>

#include "decode/ipv4.h"
#include "output/output.h"
#include "run/options.h"

namespace {

void print_option_suffixes(const tftp_msg_t &msg) {
  if (msg.blksize) std::printf(" blksize=%s", msg.blksize);
  if (msg.timeout) std::printf(" timeout=%s", msg.timeout);
  if (msg.tsize) std::printf(" tsize=%s", msg.tsize);
}

// Prints the line of a handled message; false when its kind has none.
void print_handled(const char *src, std::uint16_t sport, const char *dst, std::uint16_t dport,
                   const tftp_msg_t &msg) {
  switch (msg.op) {
    case 3:
      std::printf("%-5s %s:%d > %s:%d %d %d\n", "DATA", src, sport, dst, dport, msg.data_block, msg.datalen);
      break;
    case 4:
      std::printf("%-5s %s:%d > %s:%d %d\n", "ACK", src, sport, dst, dport, msg.ack_block);
      break;
    case 5:
      std::printf("%-5s %s:%d > %s:%d %d \"%.*s\"\n", "ERROR", src, sport, dst, dport, msg.error_code,
                  static_cast<int>(msg.error_msg.size()), msg.error_msg.data());
      break;
    default:
      std::printf("%-5s %s:%d > %s:%d", "OACK", src, sport, dst, dport);
      print_option_suffixes(msg);
      std::putchar('\n');
      break;
  }
}

}  // namespace

void trace_exchange(trace_outcome outcome, std::uint32_t src_stored, std::uint32_t dst_stored,
                    std::uint16_t sport, std::uint16_t dport, const request_template_t &request,
                    const tftp_msg_t &msg, bytes_t payload) {
  const int needed = outcome == trace_outcome::request ? 1 : outcome == trace_outcome::handled ? 2 : 3;
  if (verbose < needed) return;
  const dotted_t src = dotted(src_stored);
  const dotted_t dst = dotted(dst_stored);
  switch (outcome) {
    case trace_outcome::request:
      std::printf("%-5s %s:%d > %s:%d \"%s\" %s", request.op == 1 ? "READ" : "WRITE", src.text, sport, dst.text,
                  dport, request.filename, request.mode);
      print_option_suffixes(msg);
      std::putchar('\n');
      break;
    case trace_outcome::handled:
      print_handled(src.text, sport, dst.text, dport, msg);
      break;
    case trace_outcome::unmatched:
      std::printf("%-5s %s:%d > %s:%d \n", "XXX", src.text, sport, dst.text, dport);
      break;
  }
  if (dump_packets) hex_dump(payload);
  std::fflush(stdout);
}
