#include "config/config_snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"

namespace {

// The published generations are the process's: tests count from where
// they start.

// A thread keeps its record until it adopts a newer one; adopting twice
// changes nothing the second time; the publisher holds what it published.
TEST(ConfigSnapshot, ThreadKeepsItsRecordUntilItAdopts) {
  config_set_defaults();
  g_config.base = "dc=one";
  config_publish();
  const uint64_t first = config_generation();
  EXPECT_GT(first, 0u);
  EXPECT_FALSE(config_adopt_published()) << "the publisher holds it already";

  std::promise<void> adopted_first;
  std::promise<void> published_second;
  std::thread worker([&, second = published_second.get_future()] {
    EXPECT_EQ(config_generation(), 0u);
    EXPECT_EQ(g_config.base, "") << "a new thread starts with an empty record";
    EXPECT_TRUE(config_adopt_published());
    EXPECT_EQ(g_config.base, "dc=one");
    EXPECT_EQ(g_config.port, 389);
    EXPECT_EQ(config_generation(), first);
    EXPECT_FALSE(config_adopt_published());
    adopted_first.set_value();

    second.wait();
    EXPECT_EQ(g_config.base, "dc=one") << "changed before this thread adopted";
    EXPECT_EQ(config_generation(), first);
    EXPECT_TRUE(config_adopt_published());
    EXPECT_EQ(g_config.base, "dc=two");
    EXPECT_EQ(config_generation(), first + 1);
  });
  adopted_first.get_future().wait();
  g_config.base = "dc=two";
  config_publish();
  EXPECT_EQ(config_generation(), first + 1);
  published_second.set_value();
  worker.join();
  EXPECT_EQ(g_config.base, "dc=two");
}

// While one thread publishes record after record, others adopt: every
// record they hold is one that was published, whole (its fields belong
// together), and their generations never go back.
TEST(ConfigSnapshot, AdoptedRecordsAreWholeWhilePublishing) {
  constexpr int kRecords = 300;
  config_set_defaults();
  g_config.port = 0;
  g_config.base = "dc=0";
  g_config.server = "";
  config_publish();
  const uint64_t start = config_generation();
  std::atomic<bool> done{false};
  auto reader = [&] {
    uint64_t last = 0;
    int adoptions = 0;
    while (!done.load() || config_generation() != start + kRecords) {
      if (!config_adopt_published()) continue;
      ++adoptions;
      ASSERT_GT(config_generation(), last);
      last = config_generation();
      ASSERT_EQ(g_config.base, "dc=" + std::to_string(g_config.port));
      ASSERT_EQ(g_config.server.size(), static_cast<size_t>(g_config.port % 7 * 40));
      ASSERT_EQ(static_cast<uint64_t>(g_config.port), last - start);
    }
    EXPECT_GT(adoptions, 0);
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) readers.emplace_back(reader);
  for (int n = 1; n <= kRecords; ++n) {
    g_config.port = n;
    g_config.base = "dc=" + std::to_string(n);
    g_config.server = std::string(n % 7 * 40, 'x');  // short and heap-held strings
    config_publish();
  }
  done = true;
  for (std::thread& r : readers) r.join();
}

}  // namespace
