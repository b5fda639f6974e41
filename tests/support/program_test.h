// A test of the built program against a private directory server holding
// the test's entries: a temporary folder with a block directory, and runs of
// the program with a configuration made for both.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"

class ProgramTest : public testing::Test {
 protected:
  explicit ProgramTest(const std::string& ldif);
  void SetUp() override;

  // A configuration for the test directory and the recording MTA, then extra.
  std::string config(const std::string& extra = "") const;
  // Runs the program on text with config(extra_config), then args.
  ProgramResult run(const std::string& text, const std::string& extra_config = "",
                    std::vector<std::string> args = {});
  std::string block_file(const std::string& receiver) const { return blockdir_ + "/" + receiver; }

  SlapdServer server_;
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
};
