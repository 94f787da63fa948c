// SPDX-License-Identifier: BSD-2-Clause
#include "tftp_golden.h"

#include <cstdio>
#include <utility>

namespace golden {

namespace {

std::string padded_address(const std::string &dotted_addr) {
  const std::uint32_t a = ipv4_addr(dotted_addr);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%03u.%03u.%03u.%03u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
  return buf;
}

std::string padded_port(std::uint16_t port) {
  char buf[6];
  std::snprintf(buf, sizeof buf, "%05u", static_cast<unsigned>(port));
  return buf;
}

}  // namespace

std::string line(const std::string &label, const endpoint &from, const endpoint &to, const std::string &rest) {
  char head[8];
  std::snprintf(head, sizeof head, "%-5s", label.c_str());
  return std::string(head) + " " + from.addr + ":" + std::to_string(from.port) + " > " + to.addr + ":" +
         std::to_string(to.port) + rest + "\n";
}

std::string data_line(const endpoint &from, const endpoint &to, int block, int length) {
  return line("DATA", from, to, " " + std::to_string(block) + " " + std::to_string(length));
}

std::string ack_line(const endpoint &from, const endpoint &to, int block) {
  return line("ACK", from, to, " " + std::to_string(block));
}

std::string unmatched(const endpoint &from, const endpoint &to) { return line("XXX", from, to, " "); }

std::string out_name(const endpoint &requester, const endpoint &server, const std::string &file) {
  std::string name = padded_address(requester.addr) + "." + padded_port(requester.port) + "-" +
                     padded_address(server.addr) + "." + padded_port(server.port);
  if (!file.empty()) name += "-" + file;
  return name;
}

std::string hex_addr(const std::string &dotted_addr) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%x", ipv4_addr(dotted_addr));
  return buf;
}

std::string created(const endpoint &requester, const endpoint &server) {
  return quote("[debug] created new request [") + "[0-9a-f]+" +
         quote("]; " + hex_addr(requester.addr) + ":" + std::to_string(requester.port) + " > " +
               hex_addr(server.addr) + ":" + std::to_string(server.port)) +
         "\n";
}

std::string debug_re(const std::string &message) { return quote(debug(message)); }

bytes packets(const std::vector<bytes> &ip_packets) {
  capture cap;
  for (const auto &p : ip_packets) cap.packet(p);
  return cap.file();
}

golden_case run(std::string name, const capture &cap, std::vector<std::string> args, text_check out,
                text_check err, std::map<std::string, bytes> files) {
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input(std::move(args)),
          .status = 0,
          .out = std::move(out),
          .err = std::move(err),
          .files = std::move(files)};
}

}  // namespace golden
