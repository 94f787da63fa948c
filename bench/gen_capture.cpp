// SPDX-License-Identifier: BSD-2-Clause
// Writes a large, protocol-correct classic pcap capture of TFTP transfers for
// the benchmark, and the list of files that carving it must produce.
//
// Every transfer's addresses, ports, direction, file name, size and contents
// are derived from the seed and the transfer's index alone, so two captures
// made with the same seed and the same transfer parameters hold the same files
// whatever their schedule (how many run at once, in which order). The
// schedule, the retransmissions, the noise and the fragment order come from a
// second generator seeded from the same seed. Same arguments, same bytes.
//
// Output folder (-o DIR):
//   capture.pcap      Ethernet (802.1Q-tagged with --vlan), microsecond timestamps
//   expected.sha256   "HASH  NAME" lines, for `sha256sum -c` in the carving folder
//   expected.tsv      NAME, size, SHA-256, one file a line
//   summary.txt       "key value" lines: packets, capture_bytes, files, ...

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sha256.h"

namespace {

using bytes_t = std::span<const std::uint8_t>;

// ---------------------------------------------------------------- options

struct options_t {
  std::uint32_t transfers = 100;
  std::uint32_t concurrent = 10;
  bool random_schedule = false;
  std::uint64_t min_size = 8 * 1024;
  std::uint64_t max_size = 64 * 1024;
  std::uint32_t blksize = 512;
  std::uint32_t windowsize = 1;  // RFC 7440: DATA blocks sent before an ACK
  int vlan = -1;                 // 802.1Q VLAN id on every frame; -1 untagged
  double writes = 0.0;         // fraction of transfers that are writes
  double dup_data = 0.0;       // fraction of DATA messages sent twice
  double dup_ack = 0.0;        // fraction of ACK messages sent twice
  double noise = 0.0;          // other UDP datagrams per TFTP datagram
  double frag_reverse = 0.0;   // fraction of fragmented datagrams sent last piece first
  std::uint32_t mtu = 1500;    // 0: never fragment
  std::uint64_t seed = 1;
  std::uint64_t gap_us = 7;    // capture time between packets
  std::string out_dir;
};

[[noreturn]] void usage(const char *program, int status) {
  std::fprintf(status ? stderr : stdout,
               "Usage: %s -o DIR [OPTION]...\n"
               "Writes DIR/capture.pcap, DIR/expected.sha256, DIR/expected.tsv and DIR/summary.txt.\n"
               "  --transfers N      number of transfers (100)\n"
               "  --concurrent K     transfers in progress at once (10)\n"
               "  --schedule S       rr (round robin) or random among the active ones (rr)\n"
               "  --min-size BYTES   smallest file (8192)\n"
               "  --max-size BYTES   largest file (65536)\n"
               "  --blksize N        block size; other than 512 is negotiated with OACK (512)\n"
               "  --windowsize N     blocks sent before each ACK; other than 1 is negotiated with OACK (1)\n"
               "  --vlan ID          tag every frame with this 802.1Q VLAN id, 0 to 4095 (none)\n"
               "  --writes F         fraction of write transfers (0)\n"
               "  --dup-data F       fraction of DATA sent twice (0)\n"
               "  --dup-ack F        fraction of ACK sent twice (0)\n"
               "  --noise F          non-TFTP UDP datagrams per TFTP datagram (0)\n"
               "  --mtu N            fragment IPv4 datagrams larger than N; 0 never (1500)\n"
               "  --frag-reverse F   fraction of fragmented datagrams sent in reverse order (0)\n"
               "  --seed S           seed (1)\n"
               "  --gap-us N         capture time between packets, microseconds (7)\n",
               program);
  std::exit(status);
}

double parse_fraction(const char *text, const char *what) {
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (*text == 0 || *end != 0 || !(v >= 0.0)) {
    std::fprintf(stderr, "gen_capture: bad %s: %s\n", what, text);
    std::exit(1);
  }
  return v;
}

std::uint64_t parse_count(const char *text, const char *what) {
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (*text == 0 || *text == '-' || *end != 0 || errno != 0) {
    std::fprintf(stderr, "gen_capture: bad %s: %s\n", what, text);
    std::exit(1);
  }
  return v;
}

options_t parse_options(int argc, char **argv) {
  static const option long_options[] = {
      {"transfers", required_argument, nullptr, 't'}, {"concurrent", required_argument, nullptr, 'k'},
      {"schedule", required_argument, nullptr, 'S'},  {"min-size", required_argument, nullptr, 'a'},
      {"max-size", required_argument, nullptr, 'b'},  {"blksize", required_argument, nullptr, 'B'},
      {"writes", required_argument, nullptr, 'w'},    {"dup-data", required_argument, nullptr, 'D'},
      {"dup-ack", required_argument, nullptr, 'A'},   {"noise", required_argument, nullptr, 'n'},
      {"mtu", required_argument, nullptr, 'm'},       {"frag-reverse", required_argument, nullptr, 'R'},
      {"seed", required_argument, nullptr, 's'},      {"help", no_argument, nullptr, 'h'},
      {"gap-us", required_argument, nullptr, 'g'},    {"windowsize", required_argument, nullptr, 'W'},
      {"vlan", required_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0}};
  options_t o;
  int c;
  while ((c = getopt_long(argc, argv, "o:h", long_options, nullptr)) != -1) {
    switch (c) {
      case 'o': o.out_dir = optarg; break;
      case 't': o.transfers = static_cast<std::uint32_t>(parse_count(optarg, "transfer count")); break;
      case 'k': o.concurrent = static_cast<std::uint32_t>(parse_count(optarg, "concurrency")); break;
      case 'S':
        if (std::strcmp(optarg, "rr") == 0) o.random_schedule = false;
        else if (std::strcmp(optarg, "random") == 0) o.random_schedule = true;
        else usage(argv[0], 1);
        break;
      case 'a': o.min_size = parse_count(optarg, "minimum size"); break;
      case 'b': o.max_size = parse_count(optarg, "maximum size"); break;
      case 'B': o.blksize = static_cast<std::uint32_t>(parse_count(optarg, "block size")); break;
      case 'w': o.writes = parse_fraction(optarg, "write fraction"); break;
      case 'D': o.dup_data = parse_fraction(optarg, "DATA duplicate fraction"); break;
      case 'A': o.dup_ack = parse_fraction(optarg, "ACK duplicate fraction"); break;
      case 'n': o.noise = parse_fraction(optarg, "noise rate"); break;
      case 'm': o.mtu = static_cast<std::uint32_t>(parse_count(optarg, "MTU")); break;
      case 'R': o.frag_reverse = parse_fraction(optarg, "reverse fragment fraction"); break;
      case 's': o.seed = parse_count(optarg, "seed"); break;
      case 'g': o.gap_us = parse_count(optarg, "packet gap"); break;
      case 'W': {
        const std::uint64_t w = parse_count(optarg, "window size");
        if (w < 1 || w > 65535) {
          std::fprintf(stderr, "gen_capture: window size must be 1 to 65535\n");
          std::exit(1);
        }
        o.windowsize = static_cast<std::uint32_t>(w);
        break;
      }
      case 'V': {
        const std::uint64_t id = parse_count(optarg, "VLAN id");
        if (id > 4095) {
          std::fprintf(stderr, "gen_capture: VLAN id must be 0 to 4095\n");
          std::exit(1);
        }
        o.vlan = static_cast<int>(id);
        break;
      }
      case 'h': usage(argv[0], 0);
      default: usage(argv[0], 1);
    }
  }
  if (o.out_dir.empty() || optind != argc) usage(argv[0], 1);
  if (o.blksize < 8 || o.blksize > 65464) {
    std::fprintf(stderr, "gen_capture: block size must be 8 to 65464\n");
    std::exit(1);
  }
  if (o.min_size > o.max_size || o.concurrent == 0) {
    std::fprintf(stderr, "gen_capture: need min-size <= max-size and concurrent >= 1\n");
    std::exit(1);
  }
  if (o.mtu != 0 && o.mtu < 68) {
    std::fprintf(stderr, "gen_capture: MTU must be 0 or at least 68\n");
    std::exit(1);
  }
  if (o.transfers > 64000u * 65534u) {
    std::fprintf(stderr, "gen_capture: too many transfers for distinct endpoints\n");
    std::exit(1);
  }
  return o;
}

// ---------------------------------------------------------------- randomness

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

class rng_t {
 public:
  explicit rng_t(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() { return splitmix64(state_ += 0x9e3779b97f4a7c15ull); }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  bool chance(double p) { return p > 0.0 && unit() < p; }

 private:
  std::uint64_t state_;
};

// ---------------------------------------------------------------- wire helpers

void put16(std::uint8_t *p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

void put32(std::uint8_t *p, std::uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}

std::uint32_t sum16(bytes_t data, std::uint32_t sum = 0) {
  std::size_t i = 0;
  for (; i + 1 < data.size(); i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (i < data.size()) sum += static_cast<std::uint32_t>(data[i] << 8);
  return sum;
}

std::uint16_t fold(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// ---------------------------------------------------------------- capture file

class pcap_writer_t {
 public:
  pcap_writer_t(const std::string &path, std::uint64_t gap_us)
      : file_(std::fopen(path.c_str(), "wb")), gap_us_(gap_us) {
    if (!file_) {
      std::fprintf(stderr, "gen_capture: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
      std::exit(1);
    }
    std::uint8_t header[24] = {};
    const std::uint32_t fields[] = {0xa1b2c3d4u, 0, 0, 0, 262144, 1};  // magic, -, -, -, snaplen, Ethernet
    std::memcpy(header, &fields[0], 4);
    const std::uint16_t major = 2, minor = 4;
    std::memcpy(header + 4, &major, 2);
    std::memcpy(header + 6, &minor, 2);
    std::memcpy(header + 16, &fields[4], 4);
    std::memcpy(header + 20, &fields[5], 4);
    append(header, sizeof header);
  }
  ~pcap_writer_t() { close(); }

  void record(bytes_t frame) {
    // One packet every gap from a fixed start: the same every run.
    const std::uint64_t micros = packets_ * gap_us_;
    const std::uint32_t fields[4] = {static_cast<std::uint32_t>(1700000000u + micros / 1000000),
                                     static_cast<std::uint32_t>(micros % 1000000),
                                     static_cast<std::uint32_t>(frame.size()),
                                     static_cast<std::uint32_t>(frame.size())};
    append(reinterpret_cast<const std::uint8_t *>(fields), sizeof fields);
    append(frame.data(), frame.size());
    ++packets_;
  }

  void close() {
    if (!file_) return;
    flush();
    if (std::fclose(file_) != 0) fail();
    file_ = nullptr;
  }

  std::uint64_t packets() const { return packets_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  // Frames are far smaller than the buffer, so every piece fits after a flush.
  void append(const std::uint8_t *data, std::size_t size) {
    if (used_ + size > BUFFER_SIZE) flush();
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
    bytes_ += size;
  }
  void flush() {
    if (used_ != 0 && std::fwrite(buffer_.get(), 1, used_, file_) != used_) fail();
    used_ = 0;
  }
  [[noreturn]] void fail() {
    std::fprintf(stderr, "gen_capture: write failed: %s\n", std::strerror(errno));
    std::exit(1);
  }

  static constexpr std::size_t BUFFER_SIZE = 4 << 20;
  std::FILE *file_;
  std::uint64_t gap_us_;
  std::unique_ptr<std::uint8_t[]> buffer_{new std::uint8_t[BUFFER_SIZE]};
  std::size_t used_ = 0;
  std::uint64_t packets_ = 0;
  std::uint64_t bytes_ = 0;
};

// Builds Ethernet/IPv4/UDP frames with correct checksums, fragmenting
// datagrams that do not fit the MTU, each with an 802.1Q tag when vlan >= 0.
class framer_t {
 public:
  framer_t(pcap_writer_t &out, std::uint32_t mtu, int vlan) : out_(out), mtu_(mtu), vlan_(vlan) {}

  void udp(std::uint32_t src, std::uint32_t dst, std::uint16_t sport, std::uint16_t dport, std::uint16_t ip_id,
           bytes_t payload, bool reverse_fragments) {
    datagram_.assign(8 + payload.size(), 0);
    std::uint8_t *u = datagram_.data();
    put16(u, sport);
    put16(u + 2, dport);
    put16(u + 4, static_cast<std::uint32_t>(datagram_.size()));
    std::memcpy(u + 8, payload.data(), payload.size());
    std::uint32_t sum = (src >> 16) + (src & 0xffff) + (dst >> 16) + (dst & 0xffff) + 17 +
                        static_cast<std::uint32_t>(datagram_.size());
    std::uint16_t check = fold(sum16(datagram_, sum));
    put16(u + 6, check == 0 ? 0xffff : check);
    ++datagrams_;

    const std::size_t room = mtu_ == 0 ? datagram_.size() : ((mtu_ - 20) / 8) * 8;
    if (datagram_.size() <= room || (mtu_ != 0 && 20 + datagram_.size() <= mtu_)) {
      frame(src, dst, ip_id, 0, false, datagram_);
      return;
    }
    const std::size_t pieces = (datagram_.size() + room - 1) / room;
    for (std::size_t k = 0; k < pieces; ++k) {
      const std::size_t i = reverse_fragments ? pieces - 1 - k : k;
      const std::size_t offset = i * room;
      const std::size_t length = std::min(room, datagram_.size() - offset);
      frame(src, dst, ip_id, offset, i + 1 < pieces, bytes_t(datagram_).subspan(offset, length));
      ++fragments_;
    }
  }

  std::uint64_t datagrams() const { return datagrams_; }
  std::uint64_t fragments() const { return fragments_; }

 private:
  static void mac(std::uint8_t *p, std::uint32_t addr) {
    p[0] = 0x02;
    p[1] = 0x00;
    put32(p + 2, addr);
  }

  void frame(std::uint32_t src, std::uint32_t dst, std::uint16_t ip_id, std::size_t offset, bool more,
             bytes_t piece) {
    const std::size_t ip_length = 20 + piece.size();
    const std::size_t link_length = vlan_ < 0 ? 14 : 18;
    // Short frames are padded to Ethernet's minimum, as on a real wire.
    frame_.assign(std::max<std::size_t>(link_length + ip_length, 60), 0);
    std::uint8_t *e = frame_.data();
    mac(e, dst);
    mac(e + 6, src);
    if (vlan_ >= 0) {
      put16(e + 12, 0x8100);
      put16(e + 14, static_cast<std::uint32_t>(vlan_));  // priority 0, DEI 0
    }
    put16(e + link_length - 2, 0x0800);
    std::uint8_t *ip = e + link_length;
    ip[0] = 0x45;
    put16(ip + 2, static_cast<std::uint32_t>(ip_length));
    put16(ip + 4, ip_id);
    put16(ip + 6, static_cast<std::uint32_t>((more ? 0x2000 : 0) | (offset / 8)));
    ip[8] = 64;
    ip[9] = 17;
    put32(ip + 12, src);
    put32(ip + 16, dst);
    put16(ip + 10, fold(sum16(bytes_t(ip, 20))));
    std::memcpy(ip + 20, piece.data(), piece.size());
    out_.record(frame_);
  }

  pcap_writer_t &out_;
  std::uint32_t mtu_;
  int vlan_;
  std::vector<std::uint8_t> datagram_;
  std::vector<std::uint8_t> frame_;
  std::uint64_t datagrams_ = 0;
  std::uint64_t fragments_ = 0;
};

// ---------------------------------------------------------------- transfers

constexpr std::uint32_t CLIENT_NET = 198u << 24 | 18u << 16;  // 198.18.0.0/16
constexpr std::uint32_t SERVER_NET = 198u << 24 | 19u << 16;  // 198.19.0.0/24, 16 servers
constexpr std::uint32_t NOISE_NET = SERVER_NET | 128u << 8;   // 198.19.128.0/17
constexpr std::uint32_t CLIENTS_PER_ROUND = 65534;
constexpr std::uint32_t SERVERS = 16;
constexpr std::uint16_t TFTP_PORT = 69;

enum class step_t : std::uint8_t { request, oack, ack0, data, ack, done };

struct message_t {
  enum kind_t : std::uint8_t { request, oack, ack, data } kind;
  bool from_server;
  std::uint32_t block;
};

struct transfer_t {
  std::uint32_t index = 0;
  bool write = false;
  std::uint32_t client = 0, server = 0;
  std::uint16_t client_port = 0, server_port = 0;  // server_port: the server's own transfer port
  std::uint16_t id_up = 0, id_down = 0;            // IPv4 identification, client->server and back
  std::uint64_t size = 0;
  std::uint32_t blocks = 0;  // DATA messages, the last one shorter than the block size
  std::uint64_t content_key = 0;
  std::string filename;
  sha256_t hash;

  step_t step = step_t::request;
  std::uint32_t block = 0;              // the block of the current DATA/ACK step
  std::vector<std::uint32_t> late_dups;  // DATA of this window to resend after its ACK
  std::vector<message_t> outbox;
  std::size_t out_head = 0;

  std::size_t out_count() const { return outbox.size() - out_head; }
  void push(message_t m) { outbox.push_back(m); }
  message_t pop() {
    const message_t m = outbox[out_head++];
    if (out_head == outbox.size()) {
      outbox.clear();
      out_head = 0;
    }
    return m;
  }
};

std::string sanitised(const std::string &name) {
  std::string out = name;
  for (char &c : out) {
    const bool keep = c == '.' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!keep) c = '_';
  }
  return out;
}

std::string output_name(const transfer_t &t) {
  char endpoints[64];
  const auto b = [](std::uint32_t a, int shift) { return static_cast<unsigned>((a >> shift) & 0xff); };
  std::snprintf(endpoints, sizeof endpoints, "%03u.%03u.%03u.%03u.%05u-%03u.%03u.%03u.%03u.%05u-", b(t.client, 24),
                b(t.client, 16), b(t.client, 8), b(t.client, 0), static_cast<unsigned>(t.client_port),
                b(t.server, 24), b(t.server, 16), b(t.server, 8), b(t.server, 0),
                static_cast<unsigned>(t.server_port));
  return endpoints + sanitised(t.filename);
}

class generator_t {
 public:
  generator_t(const options_t &o, pcap_writer_t &out)
      : o_(o), out_(out), framer_(out, o.mtu, o.vlan), rng_(o.seed ^ 0x5ca1ab1e) {
    block_.resize(o.blksize);
  }

  void run(std::FILE *sha_list, std::FILE *tsv) {
    std::vector<std::unique_ptr<transfer_t>> active;
    std::uint32_t started = 0;
    const auto start_next = [&]() -> std::unique_ptr<transfer_t> {
      return started < o_.transfers ? make_transfer(started++) : nullptr;
    };
    while (active.size() < o_.concurrent && started < o_.transfers) active.push_back(start_next());
    std::size_t cursor = 0;
    while (!active.empty()) {
      std::size_t slot;
      if (o_.random_schedule) {
        slot = rng_.below(active.size());
      } else {
        if (cursor >= active.size()) cursor = 0;
        slot = cursor++;
      }
      transfer_t &t = *active[slot];
      turn(t);
      if (t.step != step_t::done || t.out_count() != 0) continue;
      finish(t, sha_list, tsv);
      if (auto next = start_next()) {
        active[slot] = std::move(next);
      } else {
        active[slot] = std::move(active.back());
        active.pop_back();
        // Round robin: the transfer moved into this slot takes its turn next.
        if (!o_.random_schedule && cursor > slot) cursor = slot;
      }
    }
  }

  std::uint64_t files() const { return files_; }
  std::uint64_t file_bytes() const { return file_bytes_; }
  std::uint64_t tftp_datagrams() const { return tftp_datagrams_; }
  std::uint64_t noise_datagrams() const { return noise_datagrams_; }
  const framer_t &framer() const { return framer_; }

 private:
  std::unique_ptr<transfer_t> make_transfer(std::uint32_t i) {
    auto t = std::make_unique<transfer_t>();
    // Everything about the transfer comes from (seed, index), not from the
    // schedule's generator.
    rng_t own(splitmix64(o_.seed) ^ splitmix64(0x7f4a7c15ull + i));
    const std::uint32_t host = i % CLIENTS_PER_ROUND;
    const std::uint32_t round = i / CLIENTS_PER_ROUND;
    t->index = i;
    t->client = CLIENT_NET + 1 + host;
    // The same host in a later round gets another port, so every name is unique.
    t->client_port = static_cast<std::uint16_t>(1024 + (splitmix64(o_.seed + host) + round) % 64000);
    t->server = SERVER_NET + 1 + i % SERVERS;
    t->server_port = static_cast<std::uint16_t>(1024 + own.below(64000));
    t->id_up = static_cast<std::uint16_t>(own.next());
    t->id_down = static_cast<std::uint16_t>(own.next());
    t->write = own.chance(o_.writes);
    t->size = o_.min_size + own.below(o_.max_size - o_.min_size + 1);
    t->blocks = static_cast<std::uint32_t>(t->size / o_.blksize + 1);
    t->content_key = own.next();
    char name[64];
    if (i % 2 == 0) std::snprintf(name, sizeof name, "f%06u.bin", i);
    else std::snprintf(name, sizeof name, "boot/pxe-%06u.img", i);
    t->filename = name;
    return t;
  }

  // Plans the next messages of a transfer whose outbox is empty. The sender
  // sends a window of up to `windowsize` DATA blocks, one a turn; the
  // receiver acknowledges the window's last block (RFC 7440). Windows start
  // after each acknowledged block, so with nothing lost they end at the
  // multiples of the window size and at the file's last block.
  void plan(transfer_t &t) {
    const bool negotiated = o_.blksize != 512 || o_.windowsize != 1;
    switch (t.step) {
      case step_t::request:
        t.push({message_t::request, false, 0});
        t.step = negotiated ? step_t::oack : t.write ? step_t::ack0 : step_t::data;
        t.block = 1;
        return;
      case step_t::oack:
        t.push({message_t::oack, true, 0});
        t.step = t.write ? step_t::data : step_t::ack0;
        return;
      case step_t::ack0:
        // A read's client acknowledges the OACK; a write's server accepts the request.
        t.push({message_t::ack, t.write, 0});
        t.step = step_t::data;
        return;
      case step_t::data: {
        t.push({message_t::data, !t.write, t.block});
        hash_block(t, t.block);
        if (rng_.chance(o_.dup_data)) {
          // Half resent before the ACK arrives, half after it (the ACK and
          // the retransmission crossed).
          if (rng_.chance(0.5)) t.push({message_t::data, !t.write, t.block});
          else t.late_dups.push_back(t.block);
        }
        if (t.block == t.blocks || t.block % o_.windowsize == 0) t.step = step_t::ack;
        else ++t.block;
        return;
      }
      case step_t::ack:
        t.push({message_t::ack, t.write, t.block});
        if (rng_.chance(o_.dup_ack)) t.push({message_t::ack, t.write, t.block});
        for (const std::uint32_t late : t.late_dups) t.push({message_t::data, !t.write, late});
        t.late_dups.clear();
        if (t.block == t.blocks) {
          t.step = step_t::done;
        } else {
          ++t.block;
          t.step = step_t::data;
        }
        return;
      case step_t::done:
        return;
    }
  }

  // One message of one transfer, and the noise that follows it.
  void turn(transfer_t &t) {
    if (t.out_count() == 0) plan(t);
    if (t.out_count() == 0) return;
    send(t, t.pop());
    const double whole = std::floor(o_.noise);
    int count = static_cast<int>(whole) + (rng_.chance(o_.noise - whole) ? 1 : 0);
    while (count-- > 0) noise();
  }

  std::uint32_t block_length(const transfer_t &t, std::uint32_t block) const {
    const std::uint64_t offset = static_cast<std::uint64_t>(block - 1) * o_.blksize;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(o_.blksize, t.size - offset));
  }

  // File contents: 64-bit words from a counter-based generator, so that any
  // block can be made again for a retransmission.
  bytes_t make_block(const transfer_t &t, std::uint32_t block) {
    const std::uint64_t offset = static_cast<std::uint64_t>(block - 1) * o_.blksize;
    const std::uint32_t length = block_length(t, block);
    std::uint64_t word_index = offset / 8;
    std::size_t skip = offset % 8;
    std::size_t filled = 0;
    while (filled < length) {
      const std::uint64_t word = splitmix64(t.content_key + word_index++);
      std::uint8_t bytes[8];
      std::memcpy(bytes, &word, 8);
      const std::size_t take = std::min<std::size_t>(8 - skip, length - filled);
      std::memcpy(block_.data() + filled, bytes + skip, take);
      filled += take;
      skip = 0;
    }
    return bytes_t(block_.data(), length);
  }

  void hash_block(transfer_t &t, std::uint32_t block) {
    const bytes_t b = make_block(t, block);
    t.hash.update(b.data(), b.size());
  }

  void send(transfer_t &t, const message_t &m) {
    payload_.clear();
    const auto add16 = [&](std::uint32_t v) {
      payload_.push_back(static_cast<std::uint8_t>(v >> 8));
      payload_.push_back(static_cast<std::uint8_t>(v));
    };
    const auto add_text = [&](const std::string &s) {
      payload_.insert(payload_.end(), s.begin(), s.end());
      payload_.push_back(0);
    };
    // The request asks for the options, and the OACK grants the same.
    const auto add_options = [&]() {
      if (o_.blksize != 512) {
        add_text("blksize");
        add_text(std::to_string(o_.blksize));
      }
      if (o_.windowsize != 1) {
        add_text("windowsize");
        add_text(std::to_string(o_.windowsize));
      }
    };
    switch (m.kind) {
      case message_t::request:
        add16(t.write ? 2 : 1);
        add_text(t.filename);
        add_text("octet");
        add_options();
        break;
      case message_t::oack:
        add16(6);
        add_options();
        break;
      case message_t::ack:
        add16(4);
        add16(m.block & 0xffff);
        break;
      case message_t::data: {
        add16(3);
        add16(m.block & 0xffff);
        const bytes_t b = make_block(t, m.block);
        payload_.insert(payload_.end(), b.begin(), b.end());
        break;
      }
    }
    const bool reverse = rng_.chance(o_.frag_reverse);
    if (m.from_server) {
      framer_.udp(t.server, t.client, t.server_port, t.client_port, t.id_down++, payload_, reverse);
    } else {
      const std::uint16_t dport = m.kind == message_t::request ? TFTP_PORT : t.server_port;
      framer_.udp(t.client, t.server, t.client_port, dport, t.id_up++, payload_, reverse);
    }
    ++tftp_datagrams_;
  }

  // A DNS query or answer, or an NTP datagram, between hosts that take no
  // part in any transfer. None starts with a TFTP opcode.
  void noise() {
    const std::uint32_t host = NOISE_NET + 1 + static_cast<std::uint32_t>(rng_.below(32000));
    const std::uint32_t resolver = SERVER_NET | 255u << 8 | 53;
    const auto port = static_cast<std::uint16_t>(1024 + rng_.below(64000));
    const auto id = static_cast<std::uint16_t>(0x0100 + rng_.below(0xff00));
    payload_.clear();
    const std::uint64_t kind = rng_.below(3);
    if (kind == 2) {
      payload_.assign(48, 0);
      payload_[0] = 0x23;  // NTP version 4, client
      for (std::size_t i = 40; i < 48; ++i) payload_[i] = static_cast<std::uint8_t>(rng_.next());
      framer_.udp(host, resolver, port, 123, id, payload_, false);
    } else {
      const bool answer = kind == 1;
      const std::uint8_t flags_high = answer ? 0x81 : 0x01;  // QR for an answer; RD
      const std::uint8_t flags_low = answer ? 0x80 : 0x00;   // RA for an answer
      const std::uint8_t answers = answer ? 1 : 0;
      const std::uint8_t header[12] = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id),
                                       flags_high, flags_low, 0, 1, 0, answers, 0, 0, 0, 0};
      payload_.assign(header, header + 12);
      char label[32];
      const int n = std::snprintf(label, sizeof label, "h%llu", static_cast<unsigned long long>(rng_.below(1000000)));
      payload_.push_back(static_cast<std::uint8_t>(n));
      payload_.insert(payload_.end(), label, label + n);
      for (const char *l : {"bench", "test"}) {
        payload_.push_back(static_cast<std::uint8_t>(std::strlen(l)));
        payload_.insert(payload_.end(), l, l + std::strlen(l));
      }
      const std::uint8_t tail[] = {0, 0, 1, 0, 1};  // root, type A, class IN
      payload_.insert(payload_.end(), tail, tail + sizeof tail);
      if (answer) {
        const std::uint8_t rr[] = {0xc0, 12, 0, 1, 0, 1, 0, 0, 0x0e, 0x10, 0, 4, 198, 19, 200, 1};
        payload_.insert(payload_.end(), rr, rr + sizeof rr);
        framer_.udp(resolver, host, 53, port, id, payload_, false);
      } else {
        framer_.udp(host, resolver, port, 53, id, payload_, false);
      }
    }
    ++noise_datagrams_;
  }

  void finish(transfer_t &t, std::FILE *sha_list, std::FILE *tsv) {
    const std::string digest = t.hash.hex();
    const std::string name = output_name(t);
    std::fprintf(sha_list, "%s  %s\n", digest.c_str(), name.c_str());
    std::fprintf(tsv, "%s\t%llu\t%s\n", name.c_str(), static_cast<unsigned long long>(t.size), digest.c_str());
    ++files_;
    file_bytes_ += t.size;
  }

  const options_t &o_;
  pcap_writer_t &out_;
  framer_t framer_;
  rng_t rng_;
  std::vector<std::uint8_t> block_;
  std::vector<std::uint8_t> payload_;
  std::uint64_t files_ = 0;
  std::uint64_t file_bytes_ = 0;
  std::uint64_t tftp_datagrams_ = 0;
  std::uint64_t noise_datagrams_ = 0;
};

std::FILE *create(const std::string &path) {
  std::FILE *f = std::fopen(path.c_str(), "w");
  if (!f) {
    std::fprintf(stderr, "gen_capture: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
  return f;
}

void close_checked(std::FILE *f, const char *what) {
  if (std::fclose(f) != 0) {
    std::fprintf(stderr, "gen_capture: cannot write %s: %s\n", what, std::strerror(errno));
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const options_t o = parse_options(argc, argv);
  pcap_writer_t out(o.out_dir + "/capture.pcap", o.gap_us);
  std::FILE *sha_list = create(o.out_dir + "/expected.sha256");
  std::FILE *tsv = create(o.out_dir + "/expected.tsv");
  generator_t generator(o, out);
  generator.run(sha_list, tsv);
  out.close();
  close_checked(sha_list, "expected.sha256");
  close_checked(tsv, "expected.tsv");

  std::FILE *summary = create(o.out_dir + "/summary.txt");
  std::fprintf(summary,
               "packets %llu\ncapture_bytes %llu\nfiles %llu\nfile_bytes %llu\ntftp_datagrams %llu\n"
               "noise_datagrams %llu\nfragments %llu\n",
               static_cast<unsigned long long>(out.packets()), static_cast<unsigned long long>(out.bytes()),
               static_cast<unsigned long long>(generator.files()),
               static_cast<unsigned long long>(generator.file_bytes()),
               static_cast<unsigned long long>(generator.tftp_datagrams()),
               static_cast<unsigned long long>(generator.noise_datagrams()),
               static_cast<unsigned long long>(generator.framer().fragments()));
  close_checked(summary, "summary.txt");
  return 0;
}
