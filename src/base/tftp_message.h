// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>
#include <string_view>

// TFTP opcodes as carried in a message's first two bytes.
enum class tftp_op : std::uint16_t { none = 0, rrq = 1, wrq = 2, data = 3, ack = 4, error = 5, oack = 6 };

// The summary of one TFTP message: the UDP decoder makes it, TFTP tracking
// fills it and the exchange trace prints it. Texts point into the datagram
// (or at a constant empty text) and are not used after the datagram is done;
// the option texts end at a NUL inside it.
struct tftp_msg_t {
  tftp_op op = tftp_op::none;  // rrq or wrq for a request
  const char *filename = nullptr;  // requests only
  const char *mode = nullptr;
  std::uint16_t error_code = 0;
  std::string_view error_msg;  // bounded by the datagram, NUL or not
  const char *blksize = nullptr;  // null: the message did not carry the option
  const char *timeout = nullptr;
  const char *tsize = nullptr;
  const char *windowsize = nullptr;  // shown only when carried
  std::uint32_t ack_block = 0;
  std::uint32_t data_block = 0;
  std::uint32_t datalen = 0;
};
