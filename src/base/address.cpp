// SPDX-License-Identifier: BSD-2-Clause
#include "base/address.h"

#include <arpa/inet.h>
#include <sys/auxv.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

unsigned octet(std::uint32_t addr, int shift) { return (addr >> shift) & 0xff; }

// The IPv6 addresses seen, each under the number it was entered with: an
// open-addressing table of those numbers (plus one; 0 is a free slot),
// hashed by the address, and the addresses in the order of their numbers.
// At most half the slots are used, so a lookup reads a slot or two.
class v6_table {
 public:
  std::uint32_t number_of(const std::uint8_t *stored) {
    ip_address::v6_bytes_t bytes;
    std::memcpy(bytes.data(), stored, bytes.size());
    if (slots_.empty()) slots_.assign(INITIAL_SLOTS, 0);
    std::size_t at = slot_for(bytes);
    if (slots_[at] != 0) return slots_[at] - 1;
    if (addresses_.size() >= MAX_ADDRESSES) throw std::bad_alloc();
    addresses_.push_back(bytes);
    const auto number = static_cast<std::uint32_t>(addresses_.size() - 1);
    if (addresses_.size() * 2 > slots_.size()) {
      grow();
      at = slot_for(bytes);
    }
    slots_[at] = number + 1;
    return number;
  }

  const ip_address::v6_bytes_t &bytes_of(std::uint32_t number) const { return addresses_[number]; }

 private:
  static constexpr std::size_t INITIAL_SLOTS = 64;
  // Numbers stay below the tag bit.
  static constexpr std::size_t MAX_ADDRESSES = 0x7fffffff;

  // Every bit of the address reaches the low bits that pick a slot:
  // addresses of one network differ only in their last bytes.
  static std::uint64_t mixed(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    return k ^ (k >> 33);
  }

  // Keyed with the random bytes the kernel hands every process, so that a
  // capture cannot be made of addresses that all want the same slot.
  static std::uint64_t key() {
    static const std::uint64_t value = [] {
      std::uint64_t k = 0x9e3779b97f4a7c15ull;
      if (const auto *random = reinterpret_cast<const std::uint8_t *>(getauxval(AT_RANDOM)))
        std::memcpy(&k, random, sizeof k);
      return k;
    }();
    return value;
  }

  std::size_t hash_of(const ip_address::v6_bytes_t &bytes) const {
    std::uint64_t high, low;
    std::memcpy(&high, bytes.data(), 8);
    std::memcpy(&low, bytes.data() + 8, 8);
    return static_cast<std::size_t>(mixed(high ^ mixed(low ^ key_)));
  }

  // The slot holding the address, or the free slot where it would go.
  std::size_t slot_for(const ip_address::v6_bytes_t &bytes) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = hash_of(bytes) & mask;
    while (slots_[at] != 0 && addresses_[slots_[at] - 1] != bytes) at = (at + 1) & mask;
    return at;
  }

  void grow() {
    std::vector<std::uint32_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint32_t entry : old) {
      if (entry == 0) continue;
      std::size_t at = hash_of(addresses_[entry - 1]) & mask;
      while (slots_[at] != 0) at = (at + 1) & mask;
      slots_[at] = entry;
    }
  }

  std::uint64_t key_ = key();
  std::vector<std::uint32_t> slots_;
  std::vector<ip_address::v6_bytes_t> addresses_;
};

v6_table &v6_addresses() {
  static v6_table table;
  return table;
}

}  // namespace

ip_address ip_address::from_v6(const std::uint8_t *stored) {
  return ip_address(v6_addresses().number_of(stored), V6_TAG);
}

const ip_address::v6_bytes_t &ip_address::v6_bytes() const { return v6_addresses().bytes_of(low_); }

address_text to_text(const ip_address &a) {
  address_text t;
  if (a.is_v6()) {
    if (inet_ntop(AF_INET6, a.v6_bytes().data(), t.text, sizeof t.text) == nullptr) t.text[0] = '\0';
    return t;
  }
  const std::uint32_t v = a.v4_host_order();
  std::snprintf(t.text, sizeof t.text, "%u.%u.%u.%u", octet(v, 24), octet(v, 16), octet(v, 8), octet(v, 0));
  return t;
}

address_text debug_text(const ip_address &a) {
  if (a.is_v6()) return to_text(a);
  address_text t;
  std::snprintf(t.text, sizeof t.text, "%x", a.v4_host_order());
  return t;
}

address_text name_text(const ip_address &a) {
  address_text t;
  if (a.is_v6()) {
    const ip_address::v6_bytes_t &b = a.v6_bytes();
    char *out = t.text;
    for (std::size_t i = 0; i < b.size(); i += 2) {
      // "xxxx." for each group; the last dot becomes the end of the text.
      std::snprintf(out, 6, "%02x%02x.", b[i], b[i + 1]);
      out += 5;
    }
    out[-1] = '\0';
    return t;
  }
  // "%03u.%03u.%03u.%03u" by hand: every transfer's name is built twice.
  const std::uint32_t v = a.v4_host_order();
  char *out = t.text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    out = write_decimal(out, octet(v, shift), 3);
    *out++ = '.';
  }
  out[-1] = '\0';
  return t;
}
