// SPDX-License-Identifier: BSD-2-Clause
// Output files: their names (with and without the file name, sanitised),
// creation (never over an existing file without -f, never through a
// symbolic link, owner-only permissions), console mode, the end-of-run pass
// over blocks still pending, and more transfers in progress than the process
// may hold open files.

#include <cerrno>
#include <cstring>

#include "exchange.h"

namespace golden {
namespace {

const std::string name = sample_name;  // client:1025 - server:3000 - "f"

// A read of `file` answered by one short block from `server_port`.
capture one_block_read(const endpoint &requester, const endpoint &to, const std::string &file,
                       const endpoint &answer_from) {
  capture cap;
  cap.udp(requester, to, tftp::rrq(file));
  cap.udp(answer_from, requester, tftp::data(1, text("x")));
  return cap;
}

std::vector<golden_case> name_cases() {
  const endpoint requester{"192.168.1.10", 2049}, srv{"192.168.1.1", 69}, srv_tid{"192.168.1.1", 50123};
  const std::string file = "dir/boot file.0";
  // Before the server's port is known the name carries the port the request
  // went to: a write whose data is sent to port 0 counts as established and
  // is written then.
  capture early;
  early.udp(requester, srv, tftp::wrq(file));
  early.udp(requester, {"192.168.1.1", 0}, tftp::data(1, text("x")));
  std::vector<golden_case> c{
      run("BeforeServerPortLearnt", early, {}, "", reading(),
          {{"192.168.001.010.02049-192.168.001.001.00069-dir_boot_file.0", text("x")}}),
      run("BeforeServerPortLearntWithoutFileName", early, {"-E"}, "", reading(),
          {{"192.168.001.010.02049-192.168.001.001.00069", text("x")}}),
      run("AfterServerPortLearnt", one_block_read(requester, srv, file, srv_tid), {}, "", reading(),
          {{"192.168.001.010.02049-192.168.001.001.50123-dir_boot_file.0", text("x")}}),
      run("WithoutFileName", one_block_read(requester, srv, file, srv_tid), {"-E"}, "", reading(),
          {{"192.168.001.010.02049-192.168.001.001.50123", text("x")}}),
      // Letters, digits and dots stay; every other byte is one "_".
      run("SanitisedBytes", one_block_read(client, server, "A-Z_a~z 0.9\x01\x80\xff", server_tid), {}, "",
          reading(), {{out_name(client, server_tid, "A_Z_a_z_0.9___"), text("x")}}),
      run("DotsStay", one_block_read(client, server, "..", server_tid), {}, "", reading(),
          {{out_name(client, server_tid, ".."), text("x")}}),
  };
  {
    // A server sending from port 0 keeps the port unknown, so a datagram
    // after the transfer ended renames a released record: the name falls
    // back to the endpoints, and nothing is written under it.
    const endpoint port0{"10.0.0.2", 0};
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(port0, client, tftp::data(1, text("x")));
    x.send(port0, client, tftp::data(1, text("x")));
    x.send(client, port0, tftp::ack(1));
    c.push_back(run("RenamedAfterRelease", x, {"-vv"}, x.trace(2), reading(), {{out_name(client, server, "f"), text("x")}}));
  }
  return c;
}

std::vector<golden_case> end_of_run_cases() {
  // Blocks 1 to `acked` acknowledged, then full blocks up to `last_data`.
  auto partial = [](int acked, int last_data) {
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    for (int n = 1; n <= last_data; ++n) {
      cap.udp(server_tid, client, tftp::data(static_cast<std::uint16_t>(n), fill(512, static_cast<std::uint8_t>('0' + n))));
      if (n <= acked) cap.udp(client, server_tid, tftp::ack(static_cast<std::uint16_t>(n)));
    }
    return cap;
  };
  auto blocks = [](int upto) {
    bytes b;
    for (int n = 1; n <= upto; ++n) b += fill(512, static_cast<std::uint8_t>('0' + n));
    return b;
  };
  const std::string partial_warning = warning("possible partial content for file: " + name);
  std::vector<golden_case> c{
      run("PendingBlockFollowingLastAckWritten", partial(4, 5), {}, "", reading() + partial_warning,
          {{name, blocks(5)}}),
      // Block 5 shows that block 4 was acknowledged: both count.
      run("PendingBlockAfterMissingAckCounted", partial(3, 5), {}, "", reading() + partial_warning,
          {{name, blocks(5)}}),
      run("EndsBeforeFirstAck", partial(0, 1), {}, "", reading()),
      // Console transfers never count as open files: no warning, block lost.
      run("ConsolePendingBlockLost", partial(1, 2), {"-c"}, name + ": " + std::string(512, '1') + "\n", reading()),
  };
  {
    // Files still open are warned about newest transfer first.
    const endpoint client2{"10.0.0.1", 1026}, tid2{"10.0.0.2", 3001};
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(client2, server, tftp::rrq("g"));
    for (const auto &[who, tid] : {std::pair{client, server_tid}, std::pair{client2, tid2}}) {
      cap.udp(tid, who, tftp::data(1, fill(512, 'a')));
      cap.udp(who, tid, tftp::ack(1));
      cap.udp(tid, who, tftp::data(2, fill(512, 'b')));
    }
    const std::string name2 = out_name(client2, tid2, "g");
    c.push_back(run("WarnedNewestFirst", cap, {}, "",
                    reading() + warning("possible partial content for file: " + name2) + partial_warning,
                    {{name, fill(512, 'a') + fill(512, 'b')}, {name2, fill(512, 'a') + fill(512, 'b')}}));
  }
  {
    // Console mode: one record per block, the block's own newlines kept.
    capture cap;
    cap.udp(client, server, tftp::rrq("f", "netascii", {{"blksize", "8"}}));
    cap.udp(server_tid, client, tftp::oack({{"blksize", "8"}}));
    cap.udp(client, server_tid, tftp::ack(0));
    cap.udp(server_tid, client, tftp::data(1, text("ab\ncd\r\ne")));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, text("12345678")));
    cap.udp(client, server_tid, tftp::ack(2));
    cap.udp(server_tid, client, tftp::data(3, text("z\n")));
    c.push_back(run("ConsoleRecords", cap, {"-c"}, name + ": ab\ncd\r\ne\n" + name + ": 12345678\n" + name + ": z\n\n",
                    reading()));
    c.push_back(run("ConsoleRecordsWithoutFileName", cap, {"-c", "-E"},
                    out_name(client, server_tid) + ": ab\ncd\r\ne\n" + out_name(client, server_tid) + ": 12345678\n" +
                        out_name(client, server_tid) + ": z\n\n",
                    reading()));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(Name, Golden, ::testing::ValuesIn(name_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(EndOfRun, Golden, ::testing::ValuesIn(end_of_run_cases()), case_name());

// Cases that need something in the working directory beforehand.

// A transfer that would write block 1 and then hold block 2 at the end.
bytes unfinished_transfer() {
  capture cap;
  cap.udp(client, server, tftp::rrq("f"));
  cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
  cap.udp(client, server_tid, tftp::ack(1));
  cap.udp(server_tid, client, tftp::data(2, fill(512, 'b')));
  return cap.file();
}

run_result run_in(const run_setup &base, const bytes &pcap, std::vector<std::string> args = {}) {
  run_setup setup = base;
  setup.files["in.pcap"] = pcap;
  return run_tool(with_input(std::move(args)), setup);
}

std::string open_failed(int error) {
  return reading() + warning("unable to open file [" + name + "]: " + std::strerror(error));
}

TEST(OutputFile, CreatedOwnerOnly) {
  const run_result r = run_in({}, sample_transfer());
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.files.count(name), 1u);
  EXPECT_EQ(r.files.at(name), sample_content());
  EXPECT_EQ(r.modes.at(name), 0600u);
}

TEST(OutputFile, ExistingFileKeptWithoutOverwrite) {
  // The transfer is abandoned: nothing written, and no end-of-run warning
  // although a block is pending.
  run_setup setup;
  setup.files[name] = text("old content");
  const run_result r = run_in(setup, unfinished_transfer());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, open_failed(EEXIST));
  EXPECT_TRUE(r.files.empty());
  EXPECT_EQ(as_text(r.all_files.at(name)), "old content");
}

TEST(OutputFile, ExistingFileTruncatedWithOverwrite) {
  run_setup setup;
  setup.files[name] = fill(2000, 'o');
  const run_result r = run_in(setup, sample_transfer(), {"-f"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, reading());
  ASSERT_EQ(r.files.count(name), 1u);
  EXPECT_EQ(as_text(r.files.at(name)), as_text(sample_content()));
}

TEST(OutputFile, SymbolicLinkNeverFollowed) {
  for (const bool overwrite : {false, true}) {
    for (const bool dangling : {false, true}) {
      SCOPED_TRACE(std::string(overwrite ? "-f, " : "no -f, ") + (dangling ? "dangling link" : "link to a file"));
      run_setup setup;
      setup.symlinks[name] = "victim";
      if (!dangling) setup.files["victim"] = text("precious");
      const run_result r = run_in(setup, sample_transfer(), overwrite ? std::vector<std::string>{"-f"} : std::vector<std::string>{});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, open_failed(overwrite ? ELOOP : EEXIST));
      EXPECT_TRUE(r.files.empty());
      EXPECT_EQ(r.symlinks, (std::map<std::string, std::string>{{name, "victim"}}));
      if (dangling) {
        EXPECT_EQ(r.all_files.count("victim"), 0u);
      } else {
        EXPECT_EQ(as_text(r.all_files.at("victim")), "precious");
      }
    }
  }
}

TEST(OutputFile, MoreTransfersInProgressThanOpenFiles) {
  // Forty transfers, each with its file open from its first block to its
  // last, under a limit of 16 open files for the whole process.
  constexpr int kTransfers = 40;
  capture cap;
  auto requester = [](int i) { return endpoint{"10.0.0.1", static_cast<std::uint16_t>(2000 + i)}; };
  auto tid = [](int i) { return endpoint{"10.0.0.2", static_cast<std::uint16_t>(5000 + i)}; };
  auto block = [](int i, int n) { return pattern(512, static_cast<std::uint8_t>(i * 3 + n)); };
  for (int i = 0; i < kTransfers; ++i) cap.udp(requester(i), server, tftp::rrq("f" + std::to_string(i)));
  for (int n = 1; n <= 3; ++n) {
    for (int i = 0; i < kTransfers; ++i) cap.udp(tid(i), requester(i), tftp::data(static_cast<std::uint16_t>(n), block(i, n)));
    for (int i = 0; i < kTransfers; ++i) cap.udp(requester(i), tid(i), tftp::ack(static_cast<std::uint16_t>(n)));
  }
  for (int i = 0; i < kTransfers; ++i) cap.udp(tid(i), requester(i), tftp::data(4, text("end")));

  // With -f as well: a file put aside and opened again is not truncated.
  for (const bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "-f" : "no -f");
    run_setup setup;
    setup.open_files_limit = 16;
    const run_result r = run_in(setup, cap.file(), overwrite ? std::vector<std::string>{"-f"} : std::vector<std::string>{});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, reading());
    EXPECT_EQ(r.files.size(), static_cast<std::size_t>(kTransfers));
    for (int i = 0; i < kTransfers; ++i) {
      const std::string file = out_name(requester(i), tid(i), "f" + std::to_string(i));
      ASSERT_EQ(r.files.count(file), 1u) << file;
      EXPECT_EQ(r.files.at(file), block(i, 1) + block(i, 2) + block(i, 3) + text("end")) << file;
      EXPECT_EQ(r.modes.at(file), 0600u) << file;
    }
  }
}

TEST(OutputFile, UncountedBlocksCutFromParkedFiles) {
  // Blocks written ahead of their ACK that never count, in files that lost
  // their descriptor since: each file ends with its last counted block. The
  // process may hold 8 output files open.
  constexpr int kTransfers = 40;
  constexpr int kVictims = 8;  // the last eight
  constexpr int kOthers = kTransfers - kVictims;
  capture cap;
  auto requester = [](int i) { return endpoint{"10.0.0.1", static_cast<std::uint16_t>(2000 + i)}; };
  auto tid = [](int i) { return endpoint{"10.0.0.2", static_cast<std::uint16_t>(5000 + i)}; };
  auto block = [](int i, int n) { return pattern(512, static_cast<std::uint8_t>(i * 3 + n)); };
  auto data = [&](int i, int n) { cap.udp(tid(i), requester(i), tftp::data(static_cast<std::uint16_t>(n), block(i, n))); };
  auto ack = [&](int i, int n) { cap.udp(requester(i), tid(i), tftp::ack(static_cast<std::uint16_t>(n))); };
  for (int i = 0; i < kTransfers; ++i) cap.udp(requester(i), server, tftp::rrq("f" + std::to_string(i)));
  // Most of the others' blocks 2 wait in memory: their files have lost
  // their descriptors by then.
  for (int i = 0; i < kOthers; ++i) data(i, 1);
  for (int i = 0; i < kOthers; ++i) ack(i, 1);
  for (int i = 0; i < kOthers; ++i) data(i, 2);
  // The victims send windows of 4 blocks. Their files are created last, so
  // they hold the descriptors when blocks 2 and 4 come and are written
  // ahead; block 3 never comes.
  for (int i = kOthers; i < kTransfers; ++i) {
    cap.udp(tid(i), requester(i), tftp::oack({{"windowsize", "4"}}));
    data(i, 1), ack(i, 1), data(i, 2), data(i, 4);
  }
  // The others' ACKs reopen their files and take the descriptors over. At
  // the end the victims' block 2 counts, as it follows the counted ones, but
  // block 4, past the missing block 3, never does.
  for (int i = 0; i < kOthers; ++i) ack(i, 2);

  run_setup setup;
  setup.open_files_limit = 16;
  const run_result r = run_in(setup, cap.file(), {});
  EXPECT_EQ(r.status, 0);
  std::string err = reading();
  for (int i = kTransfers - 1; i >= 0; --i)
    err += warning("possible partial content for file: " + out_name(requester(i), tid(i), "f" + std::to_string(i)));
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.files.size(), static_cast<std::size_t>(kTransfers));
  for (int i = 0; i < kTransfers; ++i) {
    const std::string file = out_name(requester(i), tid(i), "f" + std::to_string(i));
    ASSERT_EQ(r.files.count(file), 1u) << file;
    EXPECT_EQ(r.files.at(file), block(i, 1) + block(i, 2)) << file;
  }
}

}  // namespace
}  // namespace golden
