#include "web/blocked_senders.h"

#include <algorithm>
#include <utility>

#include "config/config.h"
#include "store/block_record.h"
#include "util/address.h"

namespace {

OptionalText keyed(OptionalText address) {
  normalize_address(address);
  if (address) cut_address_extension(*address, g_config.recipient_delimiter);
  return address;
}

}  // namespace

std::string block_receiver_of(const std::string& login, const DirectoryEntry& entry) {
  if (g_config.personal && !g_config.alias_attributes.empty()) {
    if (OptionalText canonical = keyed(entry.first_address)) return std::move(*canonical);
  }
  OptionalText own = keyed(login);
  return own ? std::move(*own) : std::string();
}

std::vector<BlockedSender> still_blocking(const std::vector<BlockEntry>& records, int64_t now,
                                          int blockexpire_hours) {
  const int64_t fallback = block_period_seconds(blockexpire_hours);
  std::vector<BlockedSender> blocked;
  for (const BlockEntry& entry : records) {
    if (!entry.time) continue;
    const BlockRecord record{*entry.time, entry.period, entry.tag, entry.lease};
    if (record.lease) {
      if (block_record_pending(record, now)) blocked.push_back({entry.sender, *entry.time, true});
    } else if (block_record_blocks(record, now, block_record_period(record, fallback), "")) {
      blocked.push_back({entry.sender, *entry.time, false});
    }
  }
  std::sort(blocked.begin(), blocked.end(), [](const BlockedSender& a, const BlockedSender& b) {
    return a.time != b.time ? a.time > b.time : a.sender < b.sender;
  });
  return blocked;
}
