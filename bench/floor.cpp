// SPDX-License-Identifier: BSD-2-Clause
// The benchmark's floor: the least work that any correct carver of TFTP
// transfers must do on a capture, with nothing of TFTP's state machine.
//
// A bare libpcap loop (filter "udp or (vlan and udp)", compiled without
// optimisation, as the carver compiles its filter) walks Ethernet, an 802.1Q
// tag if there is one, IPv4 and UDP, verifies the IPv4 header checksum and
// the UDP checksum with its pseudo-header, reassembles IPv4 fragments in a
// hash map keyed by source, destination, protocol and identification, and
// appends the payload of every DATA message to one file per UDP 4-tuple in
// the current folder. There is no ACK tracking and no duplicate removal: a
// retransmitted block is written twice. Windowed transfers (RFC 7440) need
// no more than that: their DATA still comes in order on one 4-tuple, and
// only the ACKs, which the floor does not read, are fewer; so the floor
// keeps no window state, and the window size in the OACK changes nothing.
//
// Output: one buffer per open flow, as a plain program's stdio stream per
// transfer has: the C library's default size, which glibc takes from the
// file's st_blksize (4096 bytes on tmpfs; BUFSIZ if that is unknown), so
// that eight 512-byte payloads make one write(2). A payload is appended while
// it fits; otherwise the buffer is written out first, and a payload as large
// as the buffer goes straight to the file. The buffer is allocated when the
// flow's file is opened and freed when it is closed, so peak memory grows
// with the flows open at once, as it would with streams.
//
// Not FILE* itself: glibc keeps every open stream on one list that fclose
// walks to unlink it, so with 15,000 streams open the floor spent two thirds
// of its time in that walk, which is the library's cost and no carver's.
//
// The file is opened on the flow's first DATA and closed, its buffer written
// out first, after a DATA shorter than 512 bytes or than the longest one seen
// in the flow (the only TFTP knowledge here: a short block ends a transfer).
// When the process runs out of descriptors anyway, it writes out and closes
// every open flow, and reopens flows, appending, as their DATA comes.
//
// Usage: floor CAPTURE

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace {

using bytes_t = std::span<const std::uint8_t>;

std::uint32_t be16(const std::uint8_t *p) { return static_cast<std::uint32_t>(p[0] << 8 | p[1]); }
std::uint32_t be32(const std::uint8_t *p) { return be16(p) << 16 | be16(p + 2); }

// Internet checksum: the 16-bit one's complement sum, before the final
// complement. A region with a correct checksum field sums to 0xffff.
std::uint32_t ones_sum(const std::uint8_t *p, std::size_t n, std::uint64_t sum) {
  for (; n >= 2; p += 2, n -= 2) sum += be16(p);
  if (n) sum += static_cast<std::uint32_t>(p[0] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint32_t>(sum);
}

struct flow_key_t {
  std::uint32_t src, dst;
  std::uint16_t sport, dport;
  bool operator==(const flow_key_t &) const = default;
};

struct flow_hash_t {
  std::size_t operator()(const flow_key_t &k) const noexcept {
    std::uint64_t v = (static_cast<std::uint64_t>(k.src) << 32 | k.dst) * 0x9e3779b97f4a7c15ull;
    v ^= (static_cast<std::uint64_t>(k.sport) << 16 | k.dport) * 0xff51afd7ed558ccdull;
    return static_cast<std::size_t>(v ^ (v >> 31));
  }
};

struct frag_key_t {
  std::uint32_t src, dst;
  std::uint16_t id;
  std::uint8_t protocol;
  bool operator==(const frag_key_t &) const = default;
};

struct frag_hash_t {
  std::size_t operator()(const frag_key_t &k) const noexcept {
    std::uint64_t v = (static_cast<std::uint64_t>(k.src) << 32 | k.dst) * 0x9e3779b97f4a7c15ull;
    v ^= (static_cast<std::uint64_t>(k.id) << 8 | k.protocol) * 0xff51afd7ed558ccdull;
    return static_cast<std::size_t>(v ^ (v >> 31));
  }
};

// A datagram being reassembled. Coverage is kept per 8-byte unit, the
// granularity of fragment offsets, so overlapping and repeated pieces are
// counted once; the later copy of an overlapped byte wins.
struct frag_record_t {
  std::vector<std::uint8_t> data;
  std::vector<bool> have;       // one flag per 8-byte unit
  std::size_t units_have = 0;
  std::size_t total = SIZE_MAX;  // payload length, once the last piece is seen
};

constexpr std::size_t MAX_IP_PAYLOAD = 65535 - 20;

struct flow_t {
  int fd = -1;
  bool created = false;
  std::size_t longest = 0;  // longest DATA payload seen
  std::unique_ptr<std::uint8_t[]> buffer;  // while open
  std::size_t used = 0;
};

std::unordered_map<flow_key_t, flow_t, flow_hash_t> outputs;
std::vector<flow_t *> open_flows;  // may name flows closed since; fd says
std::size_t buffer_size = 0;       // st_blksize of the first output file
std::unordered_map<frag_key_t, frag_record_t, frag_hash_t> fragments;
std::uint64_t bytes_written = 0;
std::uint64_t data_messages = 0;
std::uint64_t dropped = 0;

[[noreturn]] void write_failed() {
  std::fprintf(stderr, "floor: write failed: %s\n", std::strerror(errno));
  std::exit(1);
}

void write_all(int fd, const std::uint8_t *p, std::size_t n) {
  while (n > 0) {
    const ssize_t done = ::write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) write_failed();
    p += done;
    n -= static_cast<std::size_t>(done);
  }
}

void flush(flow_t &flow) {
  write_all(flow.fd, flow.buffer.get(), flow.used);
  flow.used = 0;
}

void append(flow_t &flow, const std::uint8_t *p, std::size_t n) {
  if (flow.used + n > buffer_size) {
    flush(flow);
    if (n >= buffer_size) {
      write_all(flow.fd, p, n);
      return;
    }
  }
  std::memcpy(flow.buffer.get() + flow.used, p, n);
  flow.used += n;
}

void close_flow(flow_t &flow) {
  flush(flow);
  if (::close(flow.fd) != 0) write_failed();
  flow.fd = -1;
  flow.buffer.reset();
}

void close_all() {
  for (flow_t *f : open_flows) {
    if (f->fd >= 0) close_flow(*f);
  }
  open_flows.clear();
}

void open_output(const flow_key_t &k, flow_t &flow) {
  char name[64];
  const auto b = [](std::uint32_t a, int s) { return static_cast<unsigned>((a >> s) & 0xff); };
  std::snprintf(name, sizeof name, "%03u.%03u.%03u.%03u.%05u-%03u.%03u.%03u.%03u.%05u", b(k.src, 24),
                b(k.src, 16), b(k.src, 8), b(k.src, 0), static_cast<unsigned>(k.sport), b(k.dst, 24),
                b(k.dst, 16), b(k.dst, 8), b(k.dst, 0), static_cast<unsigned>(k.dport));
  const int flags = O_WRONLY | O_CLOEXEC | (flow.created ? O_APPEND : O_CREAT | O_TRUNC);
  int fd = ::open(name, flags, 0600);
  if (fd < 0 && errno == EMFILE && !open_flows.empty()) {
    close_all();
    fd = ::open(name, flags, 0600);
  }
  if (fd < 0) {
    std::fprintf(stderr, "floor: cannot open %s: %s\n", name, std::strerror(errno));
    std::exit(1);
  }
  if (buffer_size == 0) {
    // All the files are in one folder: the first one's block size serves all.
    struct stat st {};
    buffer_size = ::fstat(fd, &st) == 0 && st.st_blksize > 0 ? static_cast<std::size_t>(st.st_blksize) : BUFSIZ;
  }
  flow.fd = fd;
  flow.created = true;
  flow.buffer.reset(new std::uint8_t[buffer_size]);
  flow.used = 0;
  open_flows.push_back(&flow);
}

void decode_udp(std::uint32_t src, std::uint32_t dst, const std::uint8_t *u, std::size_t size) {
  if (size < 8 || be16(u + 4) != size) {
    ++dropped;
    return;
  }
  if (be16(u + 6) != 0) {
    const std::uint64_t pseudo = (src >> 16) + (src & 0xffff) + (dst >> 16) + (dst & 0xffff) + 17 + size;
    if (ones_sum(u, size, pseudo) != 0xffff) {
      ++dropped;
      return;
    }
  }
  const std::uint8_t *payload = u + 8;
  const std::size_t length = size - 8;
  if (length < 4 || payload[0] != 0 || payload[1] != 3) return;  // not DATA
  const flow_key_t key{src, dst, static_cast<std::uint16_t>(be16(u)), static_cast<std::uint16_t>(be16(u + 2))};
  flow_t &flow = outputs[key];
  if (flow.fd < 0) open_output(key, flow);
  const std::size_t block = length - 4;
  append(flow, payload + 4, block);
  bytes_written += block;
  ++data_messages;
  if (block > flow.longest) flow.longest = block;
  if (block < 512 || block < flow.longest) close_flow(flow);
}

void add_fragment(const std::uint8_t *ip, std::size_t header_length, std::size_t total_length) {
  const std::uint32_t field = be16(ip + 6);
  const std::size_t offset = (field & 0x1fff) * 8;
  const bool more = field & 0x2000;
  const std::size_t length = total_length - header_length;
  const std::size_t end = offset + length;
  if (end > MAX_IP_PAYLOAD || (more && length % 8 != 0)) {
    ++dropped;
    return;
  }
  const frag_key_t key{be32(ip + 12), be32(ip + 16), static_cast<std::uint16_t>(be16(ip + 4)), ip[9]};
  frag_record_t &r = fragments[key];
  if (r.data.size() < end) r.data.resize(end);
  std::memcpy(r.data.data() + offset, ip + header_length, length);
  const std::size_t last_unit = (end + 7) / 8;
  if (r.have.size() < last_unit) r.have.resize(last_unit);
  for (std::size_t u = offset / 8; u < last_unit; ++u) {
    if (!r.have[u]) {
      r.have[u] = true;
      ++r.units_have;
    }
  }
  if (!more) r.total = end;
  if (r.total == SIZE_MAX || r.data.size() != r.total || r.units_have != (r.total + 7) / 8) return;
  if (ip[9] == 17) decode_udp(key.src, key.dst, r.data.data(), r.total);
  fragments.erase(key);
}

void on_frame(u_char *, const pcap_pkthdr *h, const u_char *frame) {
  if (h->caplen < 14) return;
  std::size_t link = 14;
  std::uint32_t type = be16(frame + 12);
  if (type == 0x8100 && h->caplen >= 18) {  // an 802.1Q tag before the real type
    type = be16(frame + 16);
    link = 18;
  }
  if (h->caplen < link + 20 || type != 0x0800) return;
  const std::uint8_t *ip = frame + link;
  const std::size_t room = h->caplen - link;
  const std::size_t header_length = (ip[0] & 0x0f) * 4u;
  const std::size_t total_length = be16(ip + 2);
  if ((ip[0] >> 4) != 4 || header_length < 20 || total_length < header_length || total_length > room ||
      ones_sum(ip, header_length, 0) != 0xffff) {
    ++dropped;
    return;
  }
  if ((be16(ip + 6) & 0x3fff) != 0) {
    add_fragment(ip, header_length, total_length);
    return;
  }
  if (ip[9] != 17) return;
  decode_udp(be32(ip + 12), be32(ip + 16), ip + header_length, total_length - header_length);
}

void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s CAPTURE\n", argv[0]);
    return 1;
  }
  raise_descriptor_limit();
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_t *handle = pcap_open_offline(argv[1], errbuf);
  if (!handle) {
    std::fprintf(stderr, "floor: %s\n", errbuf);
    return 2;
  }
  bpf_program program{};
  // "vlan" moves the offsets of what follows it, so tagged frames need their own branch.
  if (pcap_compile(handle, &program, "udp or (vlan and udp)", 0, PCAP_NETMASK_UNKNOWN) < 0 ||
      pcap_setfilter(handle, &program) < 0) {
    std::fprintf(stderr, "floor: filter: %s\n", pcap_geterr(handle));
    return 2;
  }
  const int status = pcap_loop(handle, -1, on_frame, nullptr);
  if (status < 0) std::fprintf(stderr, "floor: %s\n", pcap_geterr(handle));
  pcap_freecode(&program);
  pcap_close(handle);
  close_all();
  std::fprintf(stderr, "floor: %zu files, %llu DATA messages, %llu bytes, %llu dropped, %zu incomplete datagrams\n",
               outputs.size(), static_cast<unsigned long long>(data_messages),
               static_cast<unsigned long long>(bytes_written), static_cast<unsigned long long>(dropped),
               fragments.size());
  return status < 0 ? 1 : 0;
}
