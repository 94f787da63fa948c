#include "base/address.h"

#include <cstdio>

namespace {

unsigned octet(std::uint32_t addr, int shift) { return (addr >> shift) & 0xff; }

}  // namespace

address_text to_text(const ip_address &a) {
  address_text t;
  const std::uint32_t v = a.v4_host_order();
  std::snprintf(t.text, sizeof t.text, "%u.%u.%u.%u", octet(v, 24), octet(v, 16), octet(v, 8), octet(v, 0));
  return t;
}

address_text debug_text(const ip_address &a) {
  address_text t;
  std::snprintf(t.text, sizeof t.text, "%x", a.v4_host_order());
  return t;
}

address_text name_text(const ip_address &a) {
  address_text t;
  const std::uint32_t v = a.v4_host_order();
  std::snprintf(t.text, sizeof t.text, "%03u.%03u.%03u.%03u", octet(v, 24), octet(v, 16), octet(v, 8),
                octet(v, 0));
  return t;
}
