#include "fuzz_support.h"

#include "util/log.h"

namespace {
void discard(int, const char*) {}
}  // namespace

void fuzz_quiet_log() { log_set_sink(discard); }
