// SPDX-License-Identifier: BSD-2-Clause
#include "output/output_name.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include <openssl/evp.h>

#include "output/output_file.h"
#include "base/log.h"
#include "base/options.h"

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

// Sixteen hexadecimal digits of the SHA-256 of the requested name: enough to
// keep apart the long names that share their start.
void name_digest(const char *filename, std::size_t length, char out[17]) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned digest_len = 0;
  if (EVP_Digest(filename, length, digest, &digest_len, EVP_sha256(), nullptr) != 1) digest_len = 0;
  static const char digits[] = "0123456789abcdef";
  for (unsigned i = 0; i < 8; ++i) {
    const unsigned char b = i < digest_len ? digest[i] : 0;
    out[2 * i] = digits[b >> 4];
    out[2 * i + 1] = digits[b & 15];
  }
  out[16] = '\0';
}

// A name longer than the file system takes is shortened in its file-name
// part, the endpoint part kept whole, and ends in "~" and the digest of the
// whole requested name, which no sanitised name holds.
void shorten(char *name, std::size_t endpoint_len, const char *filename, std::size_t filename_len) {
  const std::size_t limit = output_name_limit();
  constexpr std::size_t TAIL = 17;  // "~" and 16 digits
  if (std::strlen(name) <= limit || limit < endpoint_len + 1 + TAIL + 1) return;
  char digest[17];
  name_digest(filename, filename_len, digest);
  char *tail = name + (limit - TAIL);
  *tail++ = '~';
  std::memcpy(tail, digest, sizeof digest);
}

}  // namespace

std::unique_ptr<char[]> build_output_name(const endpoint_t &requester, const endpoint_t &server,
                                          const char *filename) {
  // "%s.%05u-%s.%05u", by hand: every transfer's name is built twice.
  char endpoints[2 * sizeof(address_text) + 16];
  char *end = endpoints;
  const auto add_endpoint = [&end](const endpoint_t &e) {
    const address_text a = name_text(e.addr);
    const std::size_t n = std::strlen(a.text);
    std::memcpy(end, a.text, n);
    end += n;
    *end++ = '.';
    end = write_decimal(end, e.port, 5);
  };
  add_endpoint(requester);
  *end++ = '-';
  add_endpoint(server);
  *end = '\0';
  const auto endpoint_len = static_cast<std::size_t>(end - endpoints);
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
  if (!print_console) shorten(name.get(), endpoint_len, filename, filename_len);
  return name;
}
