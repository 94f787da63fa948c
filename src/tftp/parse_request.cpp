// SPDX-License-Identifier: BSD-2-Clause
#include "tftp/parse_request.h"

#include <strings.h>

#include <array>

#include "base/log.h"
#include "base/wire_text.h"
#include "tftp/options.h"

namespace {

// The field being read; the values are those the traces of this code have
// always used.
enum class parse_state : int {
  filename = 1,
  option_name = 2,
  mode = 3,
  blksize_value = 4,
  timeout_value = 5,
  tsize_value = 6,
  other_value = 7,
  after_value = 8,
  windowsize_value = 9,
  bad_mode = 99,
};

// Shortest request: opcode, a one-character name, NUL, "mail", NUL.
constexpr std::size_t MIN_REQUEST = 9;

constexpr std::array<const char *, 3> modes{"netascii", "octet", "mail"};

bool known_mode(const char *field) {
  for (const char *mode : modes)
    if (strcasecmp(field, mode) == 0) return true;
  return false;
}

parse_state value_state(std::string_view name) {
  switch (find_option(name)) {
    case tftp_option::blksize: return parse_state::blksize_value;
    case tftp_option::timeout: return parse_state::timeout_value;
    case tftp_option::tsize: return parse_state::tsize_value;
    case tftp_option::windowsize: return parse_state::windowsize_value;
    case tftp_option::other: break;
  }
  return parse_state::other_value;
}

// Acts on a field that ended at its NUL and returns the next state.
parse_state field_done(parse_state state, std::string_view field, request_template_t &request, tftp_msg_t &msg) {
  switch (state) {
    case parse_state::filename:
      request.filename = field.data();
      return parse_state::mode;
    case parse_state::mode:
      if (!known_mode(field.data())) return parse_state::bad_mode;
      request.mode = field.data();
      return parse_state::option_name;
    case parse_state::option_name:
    case parse_state::after_value:
      return value_state(field);
    case parse_state::blksize_value:
      msg.blksize = field.data();
      return parse_state::after_value;
    case parse_state::timeout_value:
      msg.timeout = field.data();
      return parse_state::after_value;
    case parse_state::tsize_value:
      msg.tsize = field.data();
      return parse_state::after_value;
    case parse_state::windowsize_value:
      msg.windowsize = field.data();
      return parse_state::after_value;
    case parse_state::other_value:
      return parse_state::after_value;
    case parse_state::bad_mode:
      break;
  }
  return parse_state::bad_mode;
}

}  // namespace

int parse_request(bytes_t payload, request_template_t &request, tftp_msg_t &msg) {
  if (payload.size() < MIN_REQUEST) return 0;
  wire_cursor c(payload);
  const auto op = static_cast<tftp_op>(c.be16());
  if (op != tftp_op::rrq && op != tftp_op::wrq) return 0;
  request.op = op;
  if (load_u8(c.rest(), 0) == 0) return 0;  // an empty file name

  // Every field handed to field_done ends at a NUL inside the payload, so the
  // texts it keeps are terminated within the datagram. A field cut off by
  // the end of the payload is left unread: the state it leaves decides.
  parse_state state = parse_state::filename;
  while (const auto field = c.cstring()) {
    const parse_state before = state;
    state = field_done(state, *field, request, msg);
    if (state == parse_state::bad_mode) return 0;
    if (before == parse_state::mode) request.options = c.rest();
  }
  if (state != parse_state::option_name && state != parse_state::after_value) return 0;
  log_debug(6, "found tftp request; op: %d, filename: %s, mode: %s", static_cast<int>(request.op),
            wire_text(request.filename).c_str(), wire_text(request.mode).c_str());
  return 1;
}
