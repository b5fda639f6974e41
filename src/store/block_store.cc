#include "store/block_store.h"

#include "config/config.h"
#include "store/gdbm_block_store.h"
#include "store/redis_store.h"

std::unique_ptr<BlockStore> block_store_open(const Config& config) {
  if (config.blockstore.empty()) return std::make_unique<GdbmBlockStore>(config);
  return std::make_unique<RedisBlockStore>(config, redis_log_voice());
}

bool BlockStore::claimed_before(const std::string& receiver, const std::string& sender) const {
  for (const auto& [r, s] : own_claims_) {
    if (r == receiver && s == sender) return true;
  }
  return false;
}

void BlockStore::note_claim(const std::string& receiver, const std::string& sender) {
  own_claims_.emplace_back(receiver, sender);
}

void BlockStore::forget_claim(const std::string& receiver, const std::string& sender) {
  std::erase(own_claims_, std::pair(receiver, sender));
}
