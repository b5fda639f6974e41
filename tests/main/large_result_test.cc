// One run's memory does not grow with the directory's answer: the built
// orvelt reads a receiver's entries one at a time and gives up the rest of
// the search once the receiver is settled, so that a receiver whom many
// large entries match costs about what one entry costs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/sanitized.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

constexpr int kEntries = 100;
constexpr size_t kTextBytes = 96 * 1024;

// The reply text of entry n: its number, then filler up to kTextBytes.
std::string text_of(int n) {
  std::string text = "Text of entry " + std::to_string(n) + ".\n";
  text.append(kTextBytes - text.size() - 1, 'x');
  return text + "\n";
}

// kEntries entries for many@site, and one for one@site, all of that size.
std::string directory() {
  std::string ldif = ldif_people_unit() + ldif_person("one", "one@site", "TRUE", {text_of(0)});
  for (int n = 1; n <= kEntries; ++n) {
    ldif += ldif_person("many" + std::to_string(n), "many@site", "TRUE", {text_of(n)});
  }
  return ldif;
}

TEST(LargeResultTest, ManyLargeEntriesCostAboutWhatOneCosts) {
  if (kSanitized) GTEST_SKIP() << "resident size means nothing under AddressSanitizer";
  const SlapdServer server(SlapdOptions().large().entries(directory()));
  TempDir dir;
  // The peak resident size of a run answering receiver, with one reply
  // whose text is expected.
  const auto peak_kib = [&](const std::string& receiver, const std::string& expected) {
    const std::string blockdir = dir.file("block-" + receiver);
    EXPECT_EQ(mkdir(blockdir.c_str(), 0700), 0);
    RecordingMta mta;
    ProgramRun run;
    run.args = {"-c", TestConfig(server, blockdir).set("loglevel", "0").write(dir), "-a", receiver};
    run.stdin_text = "From: box@host\nTo: " + receiver + "\nSubject: Lunch?\n\nFree on Friday?\n";
    const ProgramResult r = run_program(run);
    EXPECT_TRUE(r.exited && r.exit_status == 0) << r.err;
    const std::vector<MtaCall> calls = mta.calls();
    EXPECT_EQ(calls.size(), 1u);
    if (!calls.empty()) {
      EXPECT_EQ(calls[0].stdin_text.substr(0, 20), expected.substr(0, 20));
    }
    return r.peak_rss_kib;
  };
  const long one = peak_kib("one@site", text_of(0));
  const size_t mark = server.log_mark();
  const long many = peak_kib("many@site", text_of(1));
  // The whole answer is some 9.6 MB; read ahead are a few entries.
  EXPECT_LT(many - one, 3 * 1024) << "one entry: " << one << " KiB, " << kEntries
                                  << " entries: " << many << " KiB";
  // The first entry settled the receiver (the second was refused by the
  // block record): the rest of the search was abandoned.
  // slapd logs it when it gets to it, which may be after orvelt ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (server.log_since(mark).find(" ABANDON ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(server.log_since(mark).find(" ABANDON "), std::string::npos) << server.log_since(mark);
}

}  // namespace
