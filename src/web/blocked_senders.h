// The senders a person's block records still hold back, for the page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "directory/entry.h"
#include "store/block_store.h"

struct BlockedSender {
  std::string sender;
  int64_t time = 0;      // the reply, seconds since the epoch
  bool pending = false;  // a claim whose reply has not been confirmed yet
};

// The receiver whose records are the person's who logs in as login with
// entry: as orvelt keys the records of a reply to them. With the personal
// check and alias attributes, the entry's first address (normalised, its
// extension cut) when it has one; otherwise login, normalised and its
// extension cut; empty when login holds no usable address.
std::string block_receiver_of(const std::string& login, const DirectoryEntry& entry);

// The records that still hold a sender back at now: a pending record while
// its lease holds, any other while it blocks under its own period, else
// blockexpire_hours. Newest first (then by sender); unreadable records are
// left out.
std::vector<BlockedSender> still_blocking(const std::vector<BlockEntry>& records, int64_t now,
                                          int blockexpire_hours);
