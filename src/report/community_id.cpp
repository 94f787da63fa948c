// SPDX-License-Identifier: BSD-2-Clause
#include "report/community_id.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint8_t UDP_PROTOCOL = 17;

// An endpoint as the hash takes it: the address's bytes in network order,
// then the port.
struct flow_end {
  std::uint8_t addr[16];
  std::size_t addr_length;
  std::uint16_t port;

  bool operator<(const flow_end &other) const {
    const int c = std::memcmp(addr, other.addr, std::min(addr_length, other.addr_length));
    if (c != 0) return c < 0;
    if (addr_length != other.addr_length) return addr_length < other.addr_length;
    return port < other.port;
  }
};

flow_end flow_end_of(const endpoint_t &e) {
  flow_end f{};
  f.port = e.port;
  if (e.addr.is_v6()) {
    std::memcpy(f.addr, e.addr.v6_bytes().data(), 16);
    f.addr_length = 16;
    return f;
  }
  const std::uint32_t v = e.addr.v4_host_order();
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                 static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  std::memcpy(f.addr, bytes, 4);
  f.addr_length = 4;
  return f;
}

}  // namespace

community_id_t udp_community_id(const endpoint_t &a, const endpoint_t &b) {
  flow_end low = flow_end_of(a);
  flow_end high = flow_end_of(b);
  if (high < low) std::swap(low, high);
  // seed (2 bytes) | addresses | protocol | padding | ports, all big-endian.
  std::uint8_t input[2 + 32 + 2 + 4];
  std::size_t n = 0;
  input[n++] = 0;
  input[n++] = 0;
  std::memcpy(input + n, low.addr, low.addr_length), n += low.addr_length;
  std::memcpy(input + n, high.addr, high.addr_length), n += high.addr_length;
  input[n++] = UDP_PROTOCOL;
  input[n++] = 0;
  for (const std::uint16_t port : {low.port, high.port}) {
    input[n++] = static_cast<std::uint8_t>(port >> 8);
    input[n++] = static_cast<std::uint8_t>(port);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_Digest(input, n, digest, &length, EVP_sha1(), nullptr);
  community_id_t id;
  std::memcpy(id.text.data(), "1:", 2);
  // 20 bytes make 28 characters of base64, and a NUL.
  EVP_EncodeBlock(reinterpret_cast<unsigned char *>(id.text.data() + 2), digest, static_cast<int>(length));
  return id;
}
