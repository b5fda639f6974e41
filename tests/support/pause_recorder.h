// Lock-retry pauses recorded instead of slept, for tests of store_open and
// of what is built on it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "config/config.h"
#include "store/store.h"
#include "support/lock_holder.h"

// The pauses store_open took, in microseconds; after release_after of them,
// the lock holder (if any) lets go.
inline std::vector<unsigned> pauses;
inline LockHolder* release_holder = nullptr;
inline size_t release_after = 0;

inline void record_pause(unsigned microseconds) {
  pauses.push_back(microseconds);
  if (release_holder != nullptr && pauses.size() == release_after) release_holder->release();
}

// The lock wait's steps: 1 ms doubling up to 100 ms, each varied by up to a
// half either way; so no single pause is ever longer than 150 ms.
inline constexpr unsigned kFirstPauseStep = 1'000;
inline constexpr unsigned kLongestPauseStep = 100'000;
inline constexpr unsigned kLongestPause = kLongestPauseStep * 3 / 2;

// All the pauses taken, in microseconds.
inline uint64_t total_pause(const std::vector<unsigned>& taken) {
  return std::accumulate(taken.begin(), taken.end(), uint64_t{0});
}

// Checks that each pause of one wait lies within half of its step either
// way. The last one may be cut short, to end the wait at its limit, when
// last_cut is set.
inline void expect_pause_steps(const std::vector<unsigned>& taken, bool last_cut = false) {
  unsigned step = kFirstPauseStep;
  for (size_t i = 0; i < taken.size(); ++i) {
    const bool may_be_cut = last_cut && i + 1 == taken.size();
    if (!may_be_cut) {
      EXPECT_GE(taken[i], step / 2) << "pause #" << i + 1;
    }
    EXPECT_LE(taken[i], step + step / 2) << "pause #" << i + 1;
    EXPECT_LE(taken[i], kLongestPause) << "pause #" << i + 1;
    step = std::min(step * 2, kLongestPauseStep);
  }
}

// Checks that the pauses are one wait given up at its limit: about
// kLockWaitLimitMicroseconds in all, never beyond it.
inline void expect_wait_given_up(const std::vector<unsigned>& taken) {
  expect_pause_steps(taken, true);
  EXPECT_LE(total_pause(taken), kLockWaitLimitMicroseconds);
  EXPECT_GT(total_pause(taken), kLockWaitLimitMicroseconds - kLongestPause);
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
