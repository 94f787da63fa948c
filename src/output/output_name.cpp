#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "output/output.h"
#include "run/log.h"
#include "tftp/transfer.h"

namespace {

constexpr std::size_t ENDPOINT_LEN = 43;
constexpr std::size_t BARE_NAME_SIZE = 48;
constexpr std::size_t NAMED_EXTRA = 49;

// Only letters, digits and dots survive, so a name never holds a separator
// and never leaves the current directory.
char sanitised(unsigned char c) {
  const bool ascii_alnum = c < 0x80 && std::isalnum(c);
  return (ascii_alnum || c == '.') ? static_cast<char>(c) : '_';
}

unsigned octet(std::uint32_t addr, int shift) { return (addr >> shift) & 0xff; }

}  // namespace

void build_output_name(tftp_request_t &r) {
  r.name.reset();
  // A transfer released before its server's port was learnt has no file name
  // any more; nothing is ever written under its name, so the endpoint part
  // alone will do.
  const bool with_filename = use_filename && r.filename;
  std::size_t size = BARE_NAME_SIZE;
  std::size_t filename_len = 0;
  if (with_filename) {
    filename_len = std::strlen(r.filename.get());
    size = filename_len + NAMED_EXTRA;
    if (size < BARE_NAME_SIZE) log_error(3, "filename too long: %s", r.filename.get());
  }
  r.name.reset(new (std::nothrow) char[size]);
  if (!r.name) log_error(3, "out of memory allocating request->name");
  char *out = r.name.get();
  const unsigned port = r.dtid != 0 ? r.dtid : r.dst_port;
  std::snprintf(out, BARE_NAME_SIZE, "%03u.%03u.%03u.%03u.%05u-%03u.%03u.%03u.%03u.%05u",
                octet(r.src_addr, 24), octet(r.src_addr, 16), octet(r.src_addr, 8), octet(r.src_addr, 0),
                static_cast<unsigned>(r.src_port), octet(r.dst_addr, 24), octet(r.dst_addr, 16),
                octet(r.dst_addr, 8), octet(r.dst_addr, 0), port);
  if (!with_filename) return;
  out += ENDPOINT_LEN;
  *out++ = '-';
  const char *filename = r.filename.get();
  for (std::size_t i = 0; i < filename_len; ++i) *out++ = sanitised(static_cast<unsigned char>(filename[i]));
  *out = '\0';
}
