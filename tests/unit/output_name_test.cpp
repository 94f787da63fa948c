// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <string>

#include "capture_builder.h"
#include "output/output_name.h"
#include "base/options.h"

namespace {

ip_address addr(const std::string &dotted) { return ip_address::from_v4(capture_builder::ipv4_addr(dotted)); }

class OutputName : public ::testing::Test {
 protected:
  ~OutputName() override { use_filename = 1; }

  // The server's port in the name is its transfer port once learnt, else
  // the port the request went to.
  std::string name_for(const std::string &filename, std::uint16_t dtid = 0) {
    return build_output_name(requester, {server_addr, dtid != 0 ? dtid : std::uint16_t{69}}, filename.c_str()).get();
  }

  endpoint_t requester{addr("192.168.1.10"), 2049};
  ip_address server_addr = addr("192.168.1.1");
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
  requester = {addr("1.2.3.4"), 7};
  server_addr = addr("255.0.0.255");
  EXPECT_EQ(name_for("x", 65535), "001.002.003.004.00007-255.000.000.255.65535-x");
}

TEST_F(OutputName, BroadcastRequestNamesTheBroadcastAddress) {
  server_addr = ip_address::limited_broadcast();
  EXPECT_EQ(name_for("f"), "192.168.001.010.02049-255.255.255.255.00069-f");
}

}  // namespace
