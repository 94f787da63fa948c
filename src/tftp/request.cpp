#include "tftp/request.h"

#include <strings.h>

#include <array>

#include "run/log.h"

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

parse_state option_state(const char *name) {
  if (strcasecmp(name, "blksize") == 0) return parse_state::blksize_value;
  if (strcasecmp(name, "timeout") == 0) return parse_state::timeout_value;
  if (strcasecmp(name, "tsize") == 0) return parse_state::tsize_value;
  return parse_state::other_value;
}

// Acts on a field that ended at its NUL and returns the next state.
parse_state field_done(parse_state state, const char *field, request_template_t &request,
                       tftp_msg_t &msg) {
  switch (state) {
    case parse_state::filename:
      request.filename = field;
      return parse_state::mode;
    case parse_state::mode:
      if (!known_mode(field)) return parse_state::bad_mode;
      request.mode = field;
      return parse_state::option_name;
    case parse_state::option_name:
    case parse_state::after_value:
      return option_state(field);
    case parse_state::blksize_value:
      msg.blksize = field;
      return parse_state::after_value;
    case parse_state::timeout_value:
      msg.timeout = field;
      return parse_state::after_value;
    case parse_state::tsize_value:
      msg.tsize = field;
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
  if (payload[0] != 0 || (payload[1] != 1 && payload[1] != 2)) return 0;
  request.op = payload[1];
  if (payload[2] == 0) return 0;

  // Every field handed to field_done ends at a NUL inside the payload, so the
  // texts it keeps are terminated within the datagram.
  const char *text = reinterpret_cast<const char *>(payload.data());
  parse_state state = parse_state::filename;
  std::size_t field = 2;
  for (std::size_t at = 3; at < payload.size(); ++at) {
    if (payload[at] != 0) continue;
    state = field_done(state, text + field, request, msg);
    if (state == parse_state::bad_mode) return 0;
    field = at + 1;
  }
  if (state != parse_state::option_name && state != parse_state::after_value) return 0;
  log_debug(6, "found tftp request; op: %d, filename: %s, mode: %s", request.op, request.filename,
            request.mode);
  return 1;
}
