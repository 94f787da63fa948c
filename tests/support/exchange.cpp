// SPDX-License-Identifier: BSD-2-Clause
#include "exchange.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>

namespace golden {

namespace {

[[noreturn]] void refuse(const std::string &why) {
  throw std::logic_error("exchange: " + why + "; give the expected line");
}

std::uint16_t be16_at(const bytes &b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

// NUL-ended strings from `at` to the end; refuses an unterminated one.
std::vector<std::string> strings_from(const bytes &b, std::size_t at) {
  std::vector<std::string> out;
  while (at < b.size()) {
    const auto nul = std::find(b.begin() + static_cast<std::ptrdiff_t>(at), b.end(), 0);
    if (nul == b.end()) refuse("unterminated string");
    out.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(at), nul);
    at = static_cast<std::size_t>(nul - b.begin()) + 1;
  }
  return out;
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The values of the options the trace shows among name/value pairs; a name
// given twice is refused, so that no rule about repeats is assumed here.
std::map<std::string, std::string> known_options(const std::vector<std::string> &pairs) {
  if (pairs.size() % 2 != 0) refuse("option without a value");
  std::map<std::string, std::string> known;
  for (std::size_t i = 0; i < pairs.size(); i += 2) {
    const std::string name = lower(pairs[i]);
    if (name != "blksize" && name != "timeout" && name != "tsize" && name != "windowsize") continue;
    if (!known.emplace(name, pairs[i + 1]).second) refuse("option " + name + " given twice");
  }
  return known;
}

int level_of(const std::string &shown) {
  if (shown.rfind("READ ", 0) == 0 || shown.rfind("WRITE ", 0) == 0) return 1;
  if (shown.rfind("XXX ", 0) == 0) return 3;
  return 2;
}

}  // namespace

std::string derived_line(const endpoint &from, const endpoint &to, const bytes &message) {
  if (message.size() < 2) refuse("no opcode");
  const std::uint16_t op = be16_at(message, 0);
  switch (op) {
    case 1:
    case 2: {
      const std::vector<std::string> fields = strings_from(message, 2);
      if (fields.size() < 2) refuse("request without a name and a mode");
      const auto options = known_options({fields.begin() + 2, fields.end()});
      std::string rest = " \"" + fields[0] + "\" " + fields[1];
      for (const char *name : {"blksize", "timeout", "tsize", "windowsize"}) {
        const auto found = options.find(name);
        if (found != options.end()) rest += " " + found->first + "=" + found->second;
      }
      return line(op == 1 ? "READ" : "WRITE", from, to, rest);
    }
    case 3:
      if (message.size() < 4) refuse("DATA without a block number");
      return data_line(from, to, be16_at(message, 2), static_cast<int>(message.size() - 4));
    case 4:
      if (message.size() != 4) refuse("ACK not of 4 bytes");
      return ack_line(from, to, be16_at(message, 2));
    case 5: {
      if (message.size() < 4) refuse("ERROR without a code");
      const auto text_end = std::find(message.begin() + 4, message.end(), 0);
      return line("ERROR", from, to,
                  " " + std::to_string(be16_at(message, 2)) + " \"" + std::string(message.begin() + 4, text_end) +
                      "\"");
    }
    case 6: {
      auto options = known_options(strings_from(message, 2));
      // The window size only when carried; the others always.
      const auto window = options.find("windowsize");
      const std::string windowsize = window == options.end() ? "" : " windowsize=" + window->second;
      return line("OACK", from, to,
                  " blksize=" + options["blksize"] + " timeout=" + options["timeout"] + " tsize=" + options["tsize"] +
                      windowsize);
    }
    default:
      refuse("opcode " + std::to_string(op));
  }
}

exchange &exchange::send(const endpoint &from, const endpoint &to, const bytes &message) {
  return send(from, to, message, derived_line(from, to, message));
}

exchange &exchange::send(const endpoint &from, const endpoint &to, const bytes &message, const std::string &shown) {
  cap_.udp(from, to, message);
  if (!shown.empty()) shown_.push_back({shown, level_of(shown)});
  return *this;
}

exchange &exchange::stray(const endpoint &from, const endpoint &to, const bytes &payload) {
  return send(from, to, payload, unmatched(from, to));
}

exchange &exchange::print(const std::string &text) {
  shown_.push_back({text, 0});
  return *this;
}

std::string exchange::trace(int verbosity) const {
  std::string out;
  for (const auto &s : shown_) {
    if (s.level <= verbosity) out += s.text;
  }
  return out;
}

}  // namespace golden
