// Lock-retry pauses recorded instead of slept, for tests of store_open and
// of what is built on it.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "config/config.h"
#include "store/store.h"
#include "support/lock_holder.h"

// The pauses store_open took; after release_after of them, the lock holder
// (if any) lets go.
inline std::vector<unsigned> pauses;
inline LockHolder* release_holder = nullptr;
inline size_t release_after = 0;

inline void record_pause(unsigned seconds) {
  pauses.push_back(seconds);
  if (release_holder != nullptr && pauses.size() == release_after) release_holder->release();
}

// A test with default settings whose store_open pauses are recorded.
class PauseRecordingTest : public testing::Test {
 protected:
  void SetUp() override {
    config_set_defaults();
    pauses.clear();
    release_holder = nullptr;
    store_set_pause(record_pause);
  }
  void TearDown() override {
    store_set_pause(nullptr);
    release_holder = nullptr;
  }
};
