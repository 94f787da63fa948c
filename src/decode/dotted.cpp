#include <arpa/inet.h>

#include <cstring>

#include "decode/ipv4.h"

dotted_t dotted(std::uint32_t stored) {
  dotted_t d;
  if (inet_ntop(AF_INET, &stored, d.text, sizeof d.text) == nullptr) std::strcpy(d.text, "?");
  return d;
}
