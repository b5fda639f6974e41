#include "support/program_test.h"

#include <sys/stat.h>

#include "support/test_config.h"

ProgramTest::ProgramTest(const std::string& ldif) : server_(SlapdOptions().entries(ldif)) {}

void ProgramTest::SetUp() { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }

std::string ProgramTest::config(const std::string& extra) const {
  return TestConfig(server_, blockdir_).add(extra).write(dir_);
}

ProgramResult ProgramTest::run(const std::string& text, const std::string& extra_config,
                               std::vector<std::string> args) {
  args.insert(args.begin(), {"-c", config(extra_config)});
  ProgramRun run;
  run.args = args;
  run.stdin_text = text;
  return run_program(run);
}
