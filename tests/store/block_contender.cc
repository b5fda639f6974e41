// One reply's worth of block store work in a process of its own, as the
// program does it: block_contender BLOCKFILES SENDER RECEIVER. Exits 0 when
// the claim is granted, 3 when refused, and as the program would (end_run)
// when the claim fails.
#include <cstdio>

#include "config/config.h"
#include "store/block_store_open.h"
#include "util/log.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: block_contender BLOCKFILES SENDER RECEIVER\n");
    return 2;
  }
  config_set_defaults();
  g_config.blockfiles = argv[1];
  const Result<BlockClaim> claim = block_store_open(g_config)->claim(argv[2], argv[3]);
  if (!claim.ok()) end_run(claim.failure());
  return claim->granted ? 0 : 3;
}
