// One reply's worth of block store work in a process of its own, as the
// program does it: block_contender BLOCKFILES SENDER RECEIVER.
#include <cstdio>

#include "config/config.h"
#include "store/block.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: block_contender BLOCKFILES SENDER RECEIVER\n");
    return 2;
  }
  config_set_defaults();
  g_config.blockfiles = argv[1];
  return block_claim(argv[2], argv[3]).granted ? 0 : 3;
}
