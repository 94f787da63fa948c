// SPDX-License-Identifier: BSD-2-Clause
// Every block at its place: block n goes at byte (n - 1) * blksize of its
// file, whatever the capture missed. A block the capture never showed but
// whose acknowledgement is proved leaves a hole of zeros, named with its
// byte range on standard error; windowed transfers (windowsize) keep every
// block of their window until an ACK acknowledges it.

#include <algorithm>
#include <functional>

#include "tftp_golden.h"

namespace golden {
namespace {

const std::string name = sample_name;  // client:1025 - server:3000 - "f"

std::string missing(const std::string &ranges) { return warning("missing content in file: " + name + ": " + ranges); }

// A read of `blocks` full blocks of 512 bytes (block n filled with 'a' + n
// - 1) and a short last one, "end", one DATA and ACK at a time; the blocks
// in `lost_data` and the ACKs in `lost_acks` are left out of the capture.
capture lockstep(int blocks, std::vector<int> lost_data, std::vector<int> lost_acks) {
  auto lost = [](const std::vector<int> &v, int n) { return std::find(v.begin(), v.end(), n) != v.end(); };
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  for (int n = 1; n <= blocks + 1; ++n) {
    const bytes content = n <= blocks ? fill(512, static_cast<std::uint8_t>('a' + n - 1)) : text("end");
    if (!lost(lost_data, n)) cap.udp(server_tid, client, tftp::data(static_cast<std::uint16_t>(n), content));
    if (!lost(lost_acks, n)) cap.udp(client, server_tid, tftp::ack(static_cast<std::uint16_t>(n)));
  }
  return cap;
}

bytes block(int n) { return fill(512, static_cast<std::uint8_t>('a' + n - 1)); }
bytes hole(std::size_t n) { return fill(n, 0); }

std::vector<golden_case> lockstep_cases() {
  return {
      // The ACK of block 2 lost: DATA 3 shows it happened.
      run("MissingAckWholeFile", lockstep(4, {}, {2}), {}, "", reading(),
          {{name, block(1) + block(2) + block(3) + block(4) + text("end")}}),
      // Block 3 lost, and its ACK: DATA 4 shows both happened, so block 3
      // is a hole at its place and the file keeps its true size.
      run("MissingDataLeavesHole", lockstep(4, {3}, {3}), {}, "", reading() + missing("[1024, 1536)"),
          {{name, block(1) + block(2) + hole(512) + block(4) + text("end")}}),
      // Blocks 2 to 4 and their ACKs lost: the last block goes after the
      // gap, never right after block 1.
      run("LastBlockAfterGap", lockstep(4, {2, 3, 4}, {2, 3, 4}), {}, "", reading() + missing("[512, 2048)"),
          {{name, block(1) + hole(1536) + text("end")}}),
      // Two gaps, and an empty last block after the second one: the file
      // still ends where the transfer did.
      run("EmptyLastBlockAfterGap",
          [] {
            capture cap;
            cap.udp(client, server, tftp::rrq("f"));
            cap.udp(server_tid, client, tftp::data(1, block(1)));
            cap.udp(client, server_tid, tftp::ack(1));
            cap.udp(server_tid, client, tftp::data(3, block(3)));
            cap.udp(client, server_tid, tftp::ack(3));
            cap.udp(server_tid, client, tftp::data(6, {}));
            return cap;
          }(),
          {}, "", reading() + missing("[512, 1024), [1536, 2560)"), {{name, block(1) + hole(512) + block(3) + hole(1024)}}),
      // Only the ACKs: every block is a hole, and no file is made.
      run("NoDataNoFile", lockstep(2, {1, 2, 3}, {}), {}, "", reading()),
  };
}

// A read with windowsize 4 and blocks of 512 bytes: the OACK, ACK 0, then
// what `body` sends.
capture windowed(const std::function<void(capture &)> &body) {
  capture cap;
  cap.udp(client, server, tftp::rrq("f", "octet", {{"windowsize", "4"}}));
  cap.udp(server_tid, client, tftp::oack({{"windowsize", "4"}}));
  cap.udp(client, server_tid, tftp::ack(0));
  body(cap);
  return cap;
}

void send(capture &cap, int n, const bytes &content) {
  cap.udp(server_tid, client, tftp::data(static_cast<std::uint16_t>(n), content));
}
void ack(capture &cap, int n) { cap.udp(client, server_tid, tftp::ack(static_cast<std::uint16_t>(n))); }

std::vector<golden_case> window_cases() {
  const std::string read_w4 = line("READ", client, server, " \"f\" octet windowsize=4");
  return {
      run("WindowWholeFile", windowed([](capture &cap) {
            for (int n = 1; n <= 4; ++n) send(cap, n, block(n));
            ack(cap, 4);
            for (int n = 5; n <= 6; ++n) send(cap, n, block(n));
            send(cap, 7, text("end"));
            ack(cap, 7);
          }),
          {"-v"}, read_w4, reading(),
          {{name, block(1) + block(2) + block(3) + block(4) + block(5) + block(6) + text("end")}}),
      // Block 3 lost on its way: the receiver acknowledges 2, and the sender
      // sends the window again from 3. Its copies of blocks 1 and 2, sent
      // again with other bytes, replace nothing that counted.
      run("WindowResentAfterLoss", windowed([](capture &cap) {
            for (int n : {1, 2, 4}) send(cap, n, block(n));
            ack(cap, 2);
            send(cap, 1, fill(512, 'X'));
            send(cap, 2, fill(512, 'Y'));
            send(cap, 3, block(3));
            send(cap, 4, block(4));
            send(cap, 5, text("end"));
            ack(cap, 5);
          }),
          {}, "", reading(), {{name, block(1) + block(2) + block(3) + block(4) + text("end")}}),
      // The last block seen while block 2 is still missing: the transfer
      // waits for it, and the resent copy completes the file.
      run("WindowLastBlockBeforeGapFilled", windowed([](capture &cap) {
            send(cap, 1, block(1));
            send(cap, 3, text("end"));
            ack(cap, 1);
            send(cap, 2, block(2));
            send(cap, 3, text("end"));
            ack(cap, 3);
          }),
          {}, "", reading(), {{name, block(1) + block(2) + text("end")}}),
      // The sender past the window proves its first blocks acknowledged:
      // block 9 means an ACK of 5 or more, so block 5, never seen, is a hole.
      run("WindowSenderMovesOn", windowed([](capture &cap) {
            for (int n : {1, 2, 3, 4, 6, 7, 8}) send(cap, n, block(n));
            send(cap, 9, text("end"));
            ack(cap, 9);
          }),
          {}, "", reading() + missing("[2048, 2560)"),
          {{name, block(1) + block(2) + block(3) + block(4) + hole(512) + block(6) + block(7) + block(8) + text("end")}}),
      // Cut off: the blocks that directly follow the counted ones are
      // written, and none past a gap.
      run("WindowCutOff", windowed([](capture &cap) {
            for (int n : {1, 2}) send(cap, n, block(n));
            ack(cap, 2);
            for (int n : {3, 4, 6}) send(cap, n, block(n));
          }),
          {}, "", reading() + warning("possible partial content for file: " + name),
          {{name, block(1) + block(2) + block(3) + block(4)}}),
  };
}

INSTANTIATE_TEST_SUITE_P(Lockstep, Golden, ::testing::ValuesIn(lockstep_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(Window, Golden, ::testing::ValuesIn(window_cases()), case_name());

}  // namespace
}  // namespace golden
