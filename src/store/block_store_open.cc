#include "store/block_store_open.h"

#include "config/config.h"
#include "store/gdbm_block_store.h"
#include "store/redis_store.h"

std::unique_ptr<BlockStore> block_store_open(const Config& config) {
  if (config.blockstore.empty()) return std::make_unique<GdbmBlockStore>(config);
  return std::make_unique<RedisBlockStore>(config, redis_log_voice());
}
