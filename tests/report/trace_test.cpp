// SPDX-License-Identifier: BSD-2-Clause
// The exchange trace on standard output: which datagrams each -v level
// shows, the option suffixes, the dump that -X adds after each line, and the
// order of lines against the blocks printed in console mode.

#include "exchange.h"

namespace golden {
namespace {

std::string spaces(std::size_t n) { return std::string(n, ' '); }

golden_case run(std::string name, const capture &cap, std::vector<std::string> args, std::string out,
                std::map<std::string, bytes> files = {}) {
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input(std::move(args)),
          .status = 0,
          .out = std::move(out),
          .err = reading(),
          .files = std::move(files)};
}

std::vector<golden_case> level_cases() {
  const endpoint stranger{"10.0.0.9", 53};
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
  cap.udp(client, server_tid, tftp::ack(1));
  cap.udp(stranger, client, text("hello"));
  cap.udp(server_tid, client, tftp::data(2, text("end")));
  cap.udp(client, server_tid, tftp::ack(2));
  // A DATA for the finished transfer is still handled and traced.
  cap.udp(server_tid, client, tftp::data(2, text("end")));

  const std::string request = read_line;
  const std::string request_dump =
      "\t0x0000:  0001 6600 6f63 7465 7400" + spaces(17) + "..f.octet." + spaces(6) + "\n";
  const std::string data1 = data_line(server_tid, client, 1, 512);
  const std::string data1_dump = "\t0x0000:  0003 0001 6161 6161 6161 6161 6161 6161  ....aaaaaaaaaaaa\n"
                                 "\t0x0010:  6161 6161 6161 6161 6161 6161 6161 6161  aaaaaaaaaaaaaaaa\n"
                                 "\t*\n"
                                 "\t0x0200:  6161 6161" + spaces(32) + "aaaa" + spaces(12) + "\n";
  const std::string ack1 = ack_line(client, server_tid, 1);
  const std::string ack1_dump = "\t0x0000:  0004 0001" + spaces(32) + "...." + spaces(12) + "\n";
  const std::string stray = unmatched(stranger, client);
  const std::string stray_dump = "\t0x0000:  6865 6c6c 6f" + spaces(29) + "hello" + spaces(11) + "\n";
  const std::string data2 = data_line(server_tid, client, 2, 3);
  const std::string data2_dump = "\t0x0000:  0003 0002 656e 64" + spaces(24) + "....end" + spaces(9) + "\n";
  const std::string ack2 = ack_line(client, server_tid, 2);
  const std::string ack2_dump = "\t0x0000:  0004 0002" + spaces(32) + "...." + spaces(12) + "\n";

  const std::map<std::string, bytes> file{{sample_name, sample_content()}};
  return {
      run("None", cap, {}, "", file),
      run("Once", cap, {"-v"}, request, file),
      run("Twice", cap, {"-vv"}, request + data1 + ack1 + data2 + ack2 + data2, file),
      run("Thrice", cap, {"-v", "-v", "-v"}, request + data1 + ack1 + stray + data2 + ack2 + data2, file),
      run("FourTimesAsThrice", cap, {"-vvvv"}, request + data1 + ack1 + stray + data2 + ack2 + data2, file),
      run("DumpWithoutTraceIsNothing", cap, {"-X"}, "", file),
      run("DumpOnce", cap, {"-v", "-X"}, request + request_dump, file),
      run("DumpTwice", cap, {"-vvX"},
          request + request_dump + data1 + data1_dump + ack1 + ack1_dump + data2 + data2_dump + ack2 + ack2_dump +
              data2 + data2_dump,
          file),
      run("DumpThrice", cap, {"-X", "-vvv"},
          request + request_dump + data1 + data1_dump + ack1 + ack1_dump + stray + stray_dump + data2 + data2_dump +
              ack2 + ack2_dump + data2 + data2_dump,
          file),
  };
}

std::vector<golden_case> line_cases() {
  std::vector<golden_case> c;
  {
    // Suffixes in a fixed order whatever the request's order, each only when
    // the request carried it.
    const endpoint server70{"10.0.0.2", 70};
    exchange x;
    x.send(client, server, tftp::rrq("f", "octet", {{"tsize", "0"}, {"blksize", "512"}}),
           line("READ", client, server, " \"f\" octet blksize=512 tsize=0"));
    x.send(client, server70, tftp::wrq("g", "mail", {{"tsize", "7"}, {"timeout", "2"}, {"blksize", "1428"}}),
           line("WRITE", client, server70, " \"g\" mail blksize=1428 timeout=2 tsize=7"));
    c.push_back(run("RequestSuffixOrder", x, {"-v"}, x.trace(1)));
  }
  {
    // The ACK of block 7 and a DATA of 16 bytes, dumped.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, text("abcdefghijkl")));
    cap.udp(client, server_tid, tftp::ack(7));
    c.push_back(run("DumpOfAckSevenAndSixteenBytes", cap, {"-vv", "-X"},
                    read_line + "\t0x0000:  0001 6600 6f63 7465 7400" + spaces(17) + "..f.octet." + spaces(6) + "\n" +
                        data_line(server_tid, client, 1, 12) +
                        "\t0x0000:  0003 0001 6162 6364 6566 6768 696a 6b6c  ....abcdefghijkl\n\t0x0010:\n" +
                        ack_line(client, server_tid, 7) + "\t0x0000:  0004 0007" + spaces(32) + "...." +
                        spaces(12) + "\n",
                    {{sample_name, text("abcdefghijkl")}}));
  }
  {
    // An ERROR text without a NUL ends with the datagram, not with the
    // frame: the Ethernet padding after it is neither traced nor dumped.
    const bytes ip = udp_packet(server_tid.addr, server_tid.port, client.addr, client.port, bytes{0, 5, 0, 2, 'x'}, 7);
    bytes frame = ethernet(ip);
    frame.resize(60, 'Z');
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.frame(frame);
    c.push_back(run("ErrorTextEndsWithDatagram", cap, {"-vv", "-X"},
                    read_line + "\t0x0000:  0001 6600 6f63 7465 7400" + spaces(17) + "..f.octet." + spaces(6) + "\n" +
                        line("ERROR", server_tid, client, " 2 \"x\"") + "\t0x0000:  0005 0002 78" + spaces(29) +
                        "....x" + spaces(11) + "\n"));
  }
  {
    // Console mode: a block is printed before the line of the datagram that
    // released it (the ACK, or the last DATA itself), and a replaced
    // transfer's block before the line of the request that replaced it.
    const endpoint new_tid{"10.0.0.2", 3001};
    const std::string old_name = sample_name;
    const std::string new_name = out_name(client, new_tid, "f");
    exchange x;
    x.send(client, server, tftp::rrq("f", "octet", {{"blksize", "4"}}));
    x.send(server_tid, client, tftp::oack({{"blksize", "4"}}));
    x.send(client, server_tid, tftp::ack(0));
    x.send(server_tid, client, tftp::data(1, text("one!")));
    x.print(old_name + ": one!\n");
    x.send(client, server_tid, tftp::ack(1));
    x.send(server_tid, client, tftp::data(2, text("two!")));
    x.print(old_name + ": two!\n");
    x.send(client, server, tftp::rrq("f"));
    x.print(new_name + ": new\n");
    x.send(new_tid, client, tftp::data(1, text("new")));
    c.push_back(run("ConsoleBlocksBeforeTheirLines", x, {"-vv", "-c"}, x.trace(2),
                    reading() + warning("block size 4 out of range for file: " + old_name +
                                        "; blocks written one after another")));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(Level, Golden, ::testing::ValuesIn(level_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(Line, Golden, ::testing::ValuesIn(line_cases()), case_name());

}  // namespace
}  // namespace golden
