// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// A capture built together with the trace it must give, so that each packet
// of a case is written once:
//
//   exchange x;
//   x.send(client, server, tftp::rrq("f"));                     // READ ...
//   x.send(server_tid, client, tftp::data(1, fill(512, 'a')));  // DATA ... 1 512
//   x.stray(other_tid, client, tftp::data(1, text("z")));       // XXX ...
//   x.send(client, server_tid, tftp::ack(1));                   // ACK ... 1
//   run("Name", x, {"-vvv"}, x.trace(3), reading(), files);
//
// The line of a well-formed message is derived from it: READ or WRITE with
// the name, the mode and the blksize, timeout and tsize suffixes it carries;
// DATA with its block number and length; ACK with its block number; ERROR
// with its code and text; OACK with all three option values. A message whose
// line is the point of the case, or is not of that plain form, is sent with
// its line given; one the helper cannot read is refused (std::logic_error)
// rather than guessed at.

#include <cstdint>
#include <string>
#include <vector>

#include "tftp_golden.h"

namespace golden {

class exchange {
 public:
  explicit exchange(std::uint32_t link_type = link::ethernet) : cap_(link_type) {}

  // Sends `message` from `from` to `to`; the trace shows its derived line.
  exchange &send(const endpoint &from, const endpoint &to, const bytes &message);
  // Sends `message`; the trace shows `shown` instead: a whole line made with
  // line() or unmatched(), or "" for none. Its -v level follows its label.
  exchange &send(const endpoint &from, const endpoint &to, const bytes &message, const std::string &shown);
  // Sends a payload that no transfer takes: the unmatched line, at -vvv.
  exchange &stray(const endpoint &from, const endpoint &to, const bytes &payload);
  // Silence: the next packet comes `us` later than the frame gap says.
  exchange &pause(std::uint64_t us) {
    cap_.pause(us);
    return *this;
  }
  // Output that is not a trace line, such as a block printed in console
  // mode, expected at this point whatever the level.
  exchange &print(const std::string &text);

  // The expected standard output at verbosity 0 to 3: requests from 1,
  // handled messages from 2, unmatched payloads at 3.
  std::string trace(int verbosity) const;

  // The capture, for the case makers that take one.
  operator const capture &() const { return cap_; }
  bytes file() const { return cap_.file(); }

 private:
  struct shown_text {
    std::string text;
    int level;  // the verbosity that shows it
  };
  capture cap_;
  std::vector<shown_text> shown_;
};

// The line the trace shows for a well-formed TFTP message.
std::string derived_line(const endpoint &from, const endpoint &to, const bytes &message);

}  // namespace golden
