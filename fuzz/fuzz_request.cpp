// SPDX-License-Identifier: BSD-2-Clause
// Request recognition and OACK parsing alone: both read texts out of a
// datagram that may hold no NUL where one is expected.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/options.h"
#include "tftp/parse_request.h"
#include "tftp/blocks.h"
#include "tftp/transfer.h"

namespace {

// A text the parser kept must start inside the payload and end at a NUL
// inside it, unless it is the parser's own constant empty text.
void check_text(const char *text, const std::uint8_t *data, std::size_t size) {
  if (text == nullptr) return;
  const auto *start = reinterpret_cast<const std::uint8_t *>(text);
  if (start < data || start >= data + size) {
    if (*text != '\0') std::abort();
    return;
  }
  if (std::memchr(start, 0, static_cast<std::size_t>(data + size - start)) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // An exact-size copy: libFuzzer's buffer is exact already, but this keeps
  // the target honest if it is ever run from another driver.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  if (size) std::memcpy(copy.get(), data, size);
  const bytes_t payload{copy.get(), size};

  tftp_msg_t msg{};
  request_template_t request{};
  if (parse_request(payload, request, msg)) {
    if (request.op != tftp_op::rrq && request.op != tftp_op::wrq) std::abort();
    if (request.filename == nullptr || request.mode == nullptr) std::abort();
    check_text(request.filename, copy.get(), size);
    check_text(request.mode, copy.get(), size);
    check_text(msg.blksize, copy.get(), size);
    check_text(msg.timeout, copy.get(), size);
    check_text(msg.tsize, copy.get(), size);
  }

  // The OACK body is what follows the opcode.
  const bytes_t body = payload.size() >= 2 ? payload.subspan(2) : bytes_t{};
  tftp_request_t scratch{};
  scratch.op = tftp_op::rrq;
  scratch.blocks.blksize = 512;
  tftp_msg_t oack{};
  handle_oack(scratch, body, oack);
  check_text(oack.blksize, body.data(), body.size());
  check_text(oack.timeout, body.data(), body.size());
  check_text(oack.tsize, body.data(), body.size());
  if (scratch.blocks.blksize == 0) std::abort();
  return 0;
}
