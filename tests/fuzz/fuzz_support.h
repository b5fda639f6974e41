// Shared pieces of the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

// Silences the log for the whole fuzzing run: targets must not flood syslog.
void fuzz_quiet_log();

// Stops the run with a message when an invariant does not hold.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      abort();                                                                           \
    }                                                                                    \
  } while (0)
