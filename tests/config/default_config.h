// The one way unit tests start from the default configuration.
#pragma once

#include <gtest/gtest.h>

#include "config/config.h"

// A test whose g_config holds every default when it starts, whatever the
// test before it set.
class DefaultConfigTest : public testing::Test {
 protected:
  void SetUp() override { config_set_defaults(); }
};
