// The choice of the block store that the configuration names: the one place
// that knows both stores (store/gdbm_block_store.h, store/redis_store.h),
// so that each of them depends on the interface (store/block_store.h)
// alone.
#pragma once

#include <memory>

#include "store/block_store.h"

struct Config;

// The store the configuration names (blockstore: GDBM or Redis). Does no
// I/O: a Redis connection is made by the first claim, or reach. The store
// reads config, which must outlive it, at every call.
std::unique_ptr<BlockStore> block_store_open(const Config& config);
