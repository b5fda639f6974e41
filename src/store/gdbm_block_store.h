// The block store in GDBM files: one file per receiver under blockfiles,
// holding a record for each sender answered on its behalf (the record is
// store/block_record.h's). Records are only deleted by orvelt-db's purge;
// an old one simply stops blocking.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/block_store.h"
#include "store/store.h"
#include "util/strings.h"

struct Config;

// The block file of receiver under blockfiles: blockfiles, a "/" unless it
// already ends in one, then the address as it stands. None when that path
// would leave blockfiles or cannot be opened: an address that is empty,
// contains '/' or a NUL byte, is "." or "..", or is longer than a file name
// may be (NAME_MAX bytes); and none for an address that
// block_receiver_acceptable refuses.
OptionalText block_file_path(const std::string& blockfiles, std::string_view receiver);

// Whether name (a file name without its directory) is one of GDBM's backup
// copies, "<file>.~<N>~" with N one or more digits, as a recovery leaves
// beside the file it rebuilt.
bool is_gdbm_backup_name(std::string_view name);

// The block files that file_or_dir names: the file itself, or every
// regular file directly in the directory, sorted by name. An empty file in
// the directory is passed over: it holds no records, and it may be a block
// file that orvelt is creating at this very moment. So is a backup copy in
// the directory (is_gdbm_backup_name): it belongs to no receiver; when
// backups is given, its path is appended there (sorted too). So is a file
// that store_open is creating (is_store_temporary_name), into temporaries
// when given: it may be half-made. The failure's reason, when it names
// neither: "<path>: <why>".
Result<std::vector<std::string>> block_files_in(const std::string& file_or_dir,
                                                std::vector<std::string>* backups = nullptr,
                                                std::vector<std::string>* temporaries = nullptr);

// Hands every record of the block file at path, read under the reader lock
// (store_open_existing), to walker, sorted by key bytes; the receiver is the
// file's name. A file that does not open, or cannot be read to its end, is
// handed to walker.unreadable with the reason (in the second case after
// nothing, and the records read before the damage follow). False when the
// walker stopped the walk.
bool walk_block_file(const std::string& path, BlockWalker& walker);

// The record raw of receiver's block file as a walk hands it on: the key
// must be a text with its NUL byte, and the value must hold a block time
// (gdbm_block_record, whose period, tag and lease it hands on too); anything else is unreadable
// (problem says why) and blocks no reply.
BlockEntry block_entry_of(const std::string& receiver, const RawRecord& raw);

// walk_block_file for each of block_files_in(file_or_dir, backups).
Outcome walk_block_files(const std::string& file_or_dir, BlockWalker& walker,
                         std::vector<std::string>* backups = nullptr);

// The block store in the files under config.blockfiles.
//
// A claim is granted always under an interval of 0 (no file is touched);
// otherwise as BlockStore::claim says, and then the pending record of the
// reply (the current time, the own interval and the text's tag when the
// claim has them, the lease) is stored for the sender before the claim
// returns, replacing any other. The file is first read under a reader lock
// (a sender who is blocked costs no write lock and no flush); a reply is
// decided again under the writer lock (writer-create mode, a missing file
// created with create_mode as its mode), held only for the decision and the
// record.
//
// A receiver without a block file path is refused: "WARN/IO refusing block
// file for <receiver>" is logged and nothing is granted. Everything else
// that stops the record is a failure handed back (priority err): a file
// GDBM cannot open or read for any reason but a missing file, damaged or
// truncated ones included, "CRIT/IO <path>: <GDBM's or the system's text>";
// a lock that stays held, "CRIT/IO error locking '<path>' for writing"; a
// record that cannot be written and flushed, "CRIT/IO <path>: <reason>". A
// damaged file is never taken for an empty one.
//
// A confirmation stores the full record over the pending one, and a
// withdrawal puts back the sender's previous value, or deletes the record
// when there was none, each under the writer lock while the record still
// holds what the claim stored; a failure of either is logged as "CRIT/IO
// <path>: <reason>" at priority err (a confirmation's then as lost,
// BlockStore::confirm).
class GdbmBlockStore : public BlockStore {
 public:
  explicit GdbmBlockStore(const Config& config) : config_(config) {}
  using BlockStore::claim;
  using BlockStore::import;
  Result<BlockClaim> claim(const ClaimRequest& request) override;
  void confirm(const BlockClaim& claim, const std::string& sender,
               const std::string& receiver) override;
  bool withdraw(const BlockClaim& claim, const std::string& sender,
                const std::string& receiver) override;
  // Files need no connection: done.
  Outcome reach() override { return Outcome::done(); }
  // walk_block_files over blockfiles.
  Outcome walk(BlockWalker& walker) override;
  // The records of receiver's block file alone, read under the reader
  // lock: none when it has no block file (missing or still empty); a file
  // that cannot be opened or read to its end is a failure, "CRIT/IO
  // <path>: <GDBM's or the system's text>", or "CRIT/IO <path>: locked by
  // another process for too long; try again later" when a writer held its
  // lock for the whole wait.
  Result<std::vector<BlockEntry>> records_of(const std::string& receiver) override;
  Result<bool> remove(const std::string& receiver, const std::string& sender) override;
  // The record goes into an existing block file of receiver (none is
  // created); its value is gdbm_block_value's.
  Result<BlockImport> import(const std::string& receiver, const std::string& sender,
                             const BlockRecord& record, int64_t now) override;
  // Into an existing block file of receiver, as import (none is created:
  // one made by another user than orvelt's would lock orvelt out of it).
  Outcome record_reply(const std::string& receiver, const std::string& sender,
                       int64_t now) override;

 private:
  // The receiver's block file, or the refusal logged.
  OptionalText path_of(const std::string& receiver) const;
  // weigh for a stored value, or none.
  Found weigh_value(const ClaimRequest& request, const std::optional<std::string>& value,
                    int64_t now, int64_t period) const;
  // The claim's look again under the writer lock, and its pending record
  // written.
  Result<BlockClaim> claim_locked(const ClaimRequest& request, const std::string& path,
                                  const std::string& key, int64_t period);

  const Config& config_;
};
