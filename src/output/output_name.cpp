#include "output/output_name.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "run/log.h"
#include "run/options.h"

namespace {

// An IPv4 endpoint part is 43 characters; the buffer of a name without its
// file-name part has always been 48 bytes, and one with it the file name's
// length plus 49 (the part, "-", the NUL and the same slack).
constexpr std::size_t BARE_NAME_SIZE = 48;
constexpr std::size_t NAME_SLACK = 6;

char sanitised(unsigned char c) {
  const bool ascii_alnum = c < 0x80 && std::isalnum(c);
  return (ascii_alnum || c == '.') ? static_cast<char>(c) : '_';
}

}  // namespace

std::unique_ptr<char[]> build_output_name(const endpoint_t &requester, const endpoint_t &server,
                                          const char *filename) {
  char endpoints[2 * sizeof(address_text) + 16];
  const int written = std::snprintf(endpoints, sizeof endpoints, "%s.%05u-%s.%05u", name_text(requester.addr).text,
                                    static_cast<unsigned>(requester.port), name_text(server.addr).text,
                                    static_cast<unsigned>(server.port));
  const std::size_t endpoint_len = written > 0 ? static_cast<std::size_t>(written) : 0;
  const bool with_filename = use_filename && filename;
  const std::size_t filename_len = with_filename ? std::strlen(filename) : 0;
  std::size_t size = std::max(BARE_NAME_SIZE, endpoint_len + 1);
  if (with_filename) {
    size = filename_len + endpoint_len + NAME_SLACK;
    if (size < filename_len) log_error(3, "filename too long: %s", filename);
  }
  std::unique_ptr<char[]> name(new (std::nothrow) char[size]);
  if (!name) log_error(3, "out of memory allocating request->name");
  char *out = name.get();
  std::memcpy(out, endpoints, endpoint_len + 1);
  if (!with_filename) return name;
  out += endpoint_len;
  *out++ = '-';
  for (std::size_t i = 0; i < filename_len; ++i) *out++ = sanitised(static_cast<unsigned char>(filename[i]));
  *out = '\0';
  return name;
}
