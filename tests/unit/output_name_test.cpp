#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture_builder.h"
#include "output/output.h"
#include "run/options.h"
#include "tftp/transfer.h"

namespace {

owned_text owned(const std::string &s) {
  owned_text t(new char[s.size() + 1]);
  std::memcpy(t.get(), s.c_str(), s.size() + 1);
  return t;
}

class OutputName : public ::testing::Test {
 protected:
  OutputName() {
    r.src_addr = capture_builder::ipv4_addr("192.168.1.10");
    r.src_port = 2049;
    r.dst_addr = capture_builder::ipv4_addr("192.168.1.1");
    r.dst_port = 69;
  }
  ~OutputName() override { use_filename = 1; }

  std::string name_for(const std::string &filename, std::uint16_t dtid = 0) {
    r.filename = owned(filename);
    r.dtid = dtid;
    build_output_name(r);
    return r.name.get();
  }

  tftp_request_t r{};
};

TEST_F(OutputName, RequestPortUntilServerPortIsLearnt) {
  EXPECT_EQ(name_for("dir/boot file.0"), "192.168.001.010.02049-192.168.001.001.00069-dir_boot_file.0");
  EXPECT_EQ(name_for("dir/boot file.0", 50123), "192.168.001.010.02049-192.168.001.001.50123-dir_boot_file.0");
}

TEST_F(OutputName, WithoutFileName) {
  use_filename = 0;
  const std::string name = name_for("dir/boot file.0", 50123);
  EXPECT_EQ(name, "192.168.001.010.02049-192.168.001.001.50123");
  EXPECT_EQ(name.size(), 43u);
}

TEST_F(OutputName, OnlyLettersDigitsAndDotsSurvive) {
  const std::string endpoints = "192.168.001.010.02049-192.168.001.001.00069-";
  // Each byte of 0x80 or above becomes one "_".
  EXPECT_EQ(name_for("caf\xc3\xa9.TXT"), endpoints + "caf__.TXT");
  EXPECT_EQ(name_for(".."), endpoints + "..");
  EXPECT_EQ(name_for("../etc/passwd"), endpoints + ".._etc_passwd");
  EXPECT_EQ(name_for("a\\b:c*d~e-f_g"), endpoints + "a_b_c_d_e_f_g");
}

TEST_F(OutputName, FieldsAreZeroPadded) {
  r.src_addr = capture_builder::ipv4_addr("1.2.3.4");
  r.src_port = 7;
  r.dst_addr = capture_builder::ipv4_addr("255.0.0.255");
  EXPECT_EQ(name_for("x", 65535), "001.002.003.004.00007-255.000.000.255.65535-x");
}

TEST_F(OutputName, BroadcastRequestNamesTheBroadcastAddress) {
  r.dst_addr = BROADCAST_ADDR;
  EXPECT_EQ(name_for("f"), "192.168.001.010.02049-255.255.255.255.00069-f");
}

}  // namespace
