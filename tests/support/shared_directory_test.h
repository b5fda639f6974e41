// A suite of runs of the built program against one private directory that
// the whole suite shares (starting slapd is the slow part); each test gets
// its own temporary directory with an empty block directory in it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "support/recording_mta.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

class SharedDirectoryTest : public testing::Test {
 protected:
  // Starts the suite's directory holding entries; call from the derived
  // suite's SetUpTestSuite.
  static void start_directory(const std::string& entries) {
    server_ = std::make_unique<SlapdServer>(SlapdOptions().entries(entries));
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }

  // The suite's directory, the recording MTA given the sender, and
  // blockexpire 0 (no blocks: every accepted run replies); the caller adds
  // its own lines and writes the file.
  TestConfig base_config() const {
    return TestConfig(*server_, blockdir_)
        .set("blockexpire", "0")
        .set("mta", RecordingMta::program() + " $sender");
  }

  static inline std::unique_ptr<SlapdServer> server_;
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
};
