// One reply's worth of block store work in a process of its own, as the
// program does it: block_contender BLOCKFILES SENDER RECEIVER.
// Pauses between open attempts last milliseconds instead of seconds, so that
// many of these can contend for one file within a test's time.
#include <unistd.h>

#include <cstdio>

#include "config/config.h"
#include "store/block.h"
#include "store/store.h"

namespace {
void short_pause(unsigned seconds) { usleep(seconds * 10000); }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: block_contender BLOCKFILES SENDER RECEIVER\n");
    return 2;
  }
  config_set_defaults();
  g_config.blockfiles = argv[1];
  store_set_pause(short_pause);
  if (!block_check(argv[2], argv[3])) return 3;
  block_record(argv[2], argv[3]);
  return 0;
}
