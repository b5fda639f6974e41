#include "dbtool/db_store_commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "dbtool/block_records.h"
#include "dbtool/db_file_commands.h"
#include "store/block_record.h"
#include "store/gdbm_block_store.h"
#include "store/redis_store.h"
#include "util/c_owners.h"
#include "util/strings.h"

namespace {

// Reads orvelt's configuration named by -c into g_config; false after a
// message when it cannot be read or is not a regular file (a FIFO or a
// device named by mistake is never read: config_read_path).
bool read_config(Run& run, const Invocation& inv) {
  if (const std::optional<std::string> reason = config_read_path(inv.config.c_str())) {
    run.say("%s: %s", shown(inv.config).c_str(), shown(*reason).c_str());
    return false;
  }
  return true;
}

bool uses_redis() { return !g_config.blockstore.empty(); }

// The Redis store of g_config speaking to the operator: it settles on the
// first server that answers as a primary, and tells of every server it
// passes over. A failure's reason is the whole message.
class OperatorVoice : public RedisVoice {
 public:
  explicit OperatorVoice(Run& run) : run_(run) {}
  void skipped(const std::string& server, const std::string& reason) const override {
    run_.say("%s skipped: %s", shown(server).c_str(), shown(reason).c_str());
  }
  std::string refused(const std::string& server, const std::string& reason) const override {
    return server + ": " + reason;
  }
  std::string failed(const std::string&, const std::string& reason) const override {
    return reason;
  }
  std::string none_usable() const override { return "no Redis server of blockstore usable"; }
  bool primary_only() const override { return true; }

 private:
  Run& run_;
};

std::unique_ptr<BlockStore> redis_store(Run& run) {
  return std::make_unique<RedisBlockStore>(g_config, std::make_unique<OperatorVoice>(run));
}

void redis_blocks(Run& run) {
  BlockLister lister(run.out(), time(nullptr), [](const std::string&, const std::string&) {});
  const Outcome walked = redis_store(run)->walk(lister);
  if (!walked.ok()) fail_listing(run, walked);
}

void redis_remove(Run& run, const std::string& receiver, const std::string& sender) {
  const Result<bool> removed = redis_store(run)->remove(receiver, sender);
  if (!removed.ok()) return fail_listing(run, removed.failure());
  if (!*removed) {
    run.say("no record of %s for %s", shown(sender).c_str(), shown(receiver).c_str());
    return run.mark(kDbPartly);
  }
  fprintf(run.out(), "removed the record of %s for %s\n", shown(sender).c_str(),
          shown(receiver).c_str());
}

// The store of g_config: Redis as redis_store, or the block files.
std::unique_ptr<BlockStore> configured_store(Run& run) {
  if (uses_redis()) return redis_store(run);
  return std::make_unique<GdbmBlockStore>(g_config);
}

// Whether the store of g_config can keep a record for receiver, after a
// message when not. A block file must exist: orvelt makes it with its first
// reply, as its own user; one made here could lock orvelt out of it.
bool record_possible(Run& run, const std::string& receiver) {
  if (uses_redis()) {
    if (block_receiver_acceptable(receiver)) return true;
  } else if (const OptionalText path = block_file_path(g_config.blockfiles, receiver)) {
    struct stat status;
    if (stat(path->c_str(), &status) == 0) return true;
    run.say("%s: no block file for %s (orvelt makes it with the first reply)", shown(*path).c_str(),
            shown(receiver).c_str());
    return false;
  }
  run.say("no block record can be kept for %s", shown(receiver).c_str());
  return false;
}

void store_add(Run& run, const std::string& receiver, const std::string& sender) {
  if (!record_possible(run, receiver)) return run.mark(kDbFailed);
  Outcome recorded = configured_store(run)->record_reply(receiver, sender, time(nullptr));
  if (!recorded.ok()) {
    // The block files' failures come as orvelt logs them.
    if (recorded.reason.starts_with("CRIT/IO ")) recorded.reason.erase(0, 8);
    return fail_listing(run, recorded);
  }
  fprintf(run.out(), "added the record of %s for %s\n", shown(sender).c_str(),
          shown(receiver).c_str());
}

// Counts the records it is handed and keeps those from the future
// (block_time_from_future at now).
class RecordCounter : public BlockWalker {
 public:
  explicit RecordCounter(int64_t now) : now_(now) {}
  bool record(const BlockEntry& entry) override {
    ++count_;
    if (entry.time && block_time_from_future(*entry.time, now_)) future_.push_back(entry);
    return true;
  }
  void unreadable(const std::string&, const std::string&) override {}
  size_t count() const { return count_; }
  const std::vector<BlockEntry>& future() const { return future_; }

 private:
  int64_t now_;
  size_t count_ = 0;
  std::vector<BlockEntry> future_;
};

// Keys expire by themselves; only records from the future, which would
// block their sender until then and the period after, are removed.
void redis_purge(Run& run, bool dry_run) {
  const std::unique_ptr<BlockStore> store = redis_store(run);
  RecordCounter counter(time(nullptr));
  const Outcome walked = store->walk(counter);
  if (!walked.ok()) return fail_listing(run, walked);
  size_t removed = 0;
  for (const BlockEntry& entry : counter.future()) {
    const Result<bool> done =
        dry_run ? Result<bool>(true) : store->remove(entry.receiver, entry.sender);
    if (!done.ok()) return fail_listing(run, done.failure());
    if (*done) ++removed;
  }
  if (removed > 0) {
    fprintf(run.out(), "%s %s from the future\n", dry_run ? "would remove" : "removed",
            count_of(removed, "record").c_str());
  }
  fprintf(run.out(), "nothing %sto purge: keys expire by themselves (%s now)\n",
          removed > 0 ? "else " : "", count_of(counter.count() - removed, "record").c_str());
}

// Needs -c, and refuses a FILE|DIR operand beside it.
bool config_alone(Run& run, const Invocation& inv) {
  if (!inv.operands.empty()) {
    run.say("%s takes FILE|DIR or -c CONFIG, not both", inv.command.c_str());
    return false;
  }
  return read_config(run, inv);
}

// Copies the records of block files into a store, counting what became of
// them; the first failure of the store stops it.
class Importer : public BlockWalker {
 public:
  Importer(Run& run, BlockStore& store) : run_(run), store_(store), now_(time(nullptr)) {}

  bool record(const BlockEntry& entry) override {
    if (!entry.time) {
      ++unreadable_;
      return true;
    }
    const Result<BlockImport> done =
        store_.import(entry.receiver, entry.sender,
                      BlockRecord{*entry.time, entry.period, entry.tag, entry.lease}, now_);
    if (!done.ok()) {
      failure_ = done.failure();
      return false;
    }
    ++(*done == BlockImport::kImported  ? imported_
       : *done == BlockImport::kPresent ? present_
                                        : expired_);
    return true;
  }
  void unreadable(const std::string& where, const std::string& reason) override {
    run_.say("%s: %s", shown(where).c_str(), reason.c_str());
    run_.mark(kDbFailed);
  }

  // Imports the records of file; false after the store failed.
  bool import_file(const std::string& file) {
    unreadable_ = 0;
    if (!walk_block_file(file, *this)) {
      fail_listing(run_, failure_);
      return false;
    }
    if (unreadable_ > 0) {
      run_.say("%s: left %s alone", shown(file).c_str(),
               count_of(unreadable_, "unreadable record").c_str());
      run_.mark(kDbPartly);
    }
    return true;
  }

  void summary(size_t files) const {
    fprintf(run_.out(), "imported %s from %s, %zu expired, %zu already there\n",
            count_of(imported_, "record").c_str(), count_of(files, "block file").c_str(), expired_,
            present_);
  }

 private:
  Run& run_;
  BlockStore& store_;
  int64_t now_;
  size_t imported_ = 0, expired_ = 0, present_ = 0, unreadable_ = 0;
  Outcome failure_;
};

// Whether the configuration named by import's -c can take records.
bool import_possible(Run& run, const Invocation& inv) {
  if ((inv.given & kConfig) == 0) {
    run.say("import needs -c CONFIG");
    return false;
  }
  if (!read_config(run, inv)) return false;
  if (!uses_redis()) {
    run.say("%s: blockstore names no Redis server", shown(inv.config).c_str());
    return false;
  }
  if (g_config.blockexpire <= 0) {
    run.say("%s: blockexpire %d: nothing blocks, nothing to import", shown(inv.config).c_str(),
            g_config.blockexpire);
    return false;
  }
  return true;
}

}  // namespace

void command_blocks(Run& run, const Invocation& inv) {
  if ((inv.given & kConfig) == 0) {
    if (inv.operands.size() != 1) {
      run.say("blocks needs FILE|DIR or -c CONFIG");
      return run.mark(kDbFailed);
    }
    return blocks_of_files(run, inv.operands[0]);
  }
  if (!config_alone(run, inv)) return run.mark(kDbFailed);
  if (uses_redis()) return redis_blocks(run);
  blocks_of_files(run, g_config.blockfiles);
}

void command_purge(Run& run, const Invocation& inv) {
  if ((inv.given & kConfig) == 0) {
    if (inv.operands.size() != 1) {
      run.say("purge needs FILE|DIR or -c CONFIG");
      return run.mark(kDbFailed);
    }
    return purge_files(run, inv, inv.operands[0]);
  }
  if (!config_alone(run, inv)) return run.mark(kDbFailed);
  if (uses_redis()) return redis_purge(run, (inv.given & kDryRun) != 0);
  purge_files(run, inv, g_config.blockfiles);
}

void command_remove_keys(Run& run, const Invocation& inv) {
  if ((inv.given & kConfig) == 0) return command_remove(run, inv);
  if (inv.operands.size() != 2) {
    run.say("remove -c CONFIG needs RECEIVER SENDER");
    return run.mark(kDbFailed);
  }
  if (!read_config(run, inv)) return run.mark(kDbFailed);
  if (!uses_redis()) {
    run.say("%s: blockstore is gdbm: remove BLOCKFILE SENDER instead", shown(inv.config).c_str());
    return run.mark(kDbFailed);
  }
  redis_remove(run, inv.operands[0], inv.operands[1]);
}

void command_add_keys(Run& run, const Invocation& inv) {
  if ((inv.given & kConfig) == 0) return command_add(run, inv);
  if (inv.operands.size() != 2 || (inv.given & kAddress) != 0) {
    run.say("add -c CONFIG needs RECEIVER SENDER (as the log wrote them, without --address)");
    return run.mark(kDbFailed);
  }
  if (!read_config(run, inv)) return run.mark(kDbFailed);
  if (g_config.blockexpire <= 0) {
    run.say("%s: blockexpire %d: nothing blocks, nothing to add", shown(inv.config).c_str(),
            g_config.blockexpire);
    return run.mark(kDbFailed);
  }
  store_add(run, inv.operands[0], inv.operands[1]);
}

void command_import(Run& run, const Invocation& inv) {
  if (!import_possible(run, inv)) return run.mark(kDbFailed);
  std::vector<std::string> backups;
  const Result<std::vector<std::string>> files = block_files_in(inv.operands[0], &backups);
  if (!files.ok()) return fail_listing(run, files.failure());
  report_backups(run, backups);
  const std::unique_ptr<BlockStore> store = redis_store(run);
  if (const Outcome reached = store->reach(); !reached.ok()) return fail_listing(run, reached);
  Importer importer(run, *store);
  for (const std::string& file : *files) {
    if (!importer.import_file(file)) return;
  }
  importer.summary(files->size());
}
