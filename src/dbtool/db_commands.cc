#include "dbtool/db_commands.h"

#include <gdbm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <tuple>

#include "config/config.h"
#include "dbtool/block_records.h"
#include "dbtool/display.h"
#include "dbtool/key_lines.h"
#include "dbtool/records.h"
#include "store/record_format.h"
#include "store/redis_store.h"
#include "store/store.h"

namespace {

const char kUsage[] =
    "usage: orvelt-db COMMAND [OPTIONS] ARGUMENTS\n"
    "\n"
    "Prepares orvelt's bad-header and blacklist databases and shows or purges\n"
    "its block files. Databases are opened with orvelt's own locking: a file\n"
    "in use is waited for, so the tool is safe while mail flows.\n"
    "\n"
    "  load [--replace] [--address] [--mode OCTAL] DB [FILE]\n"
    "      store each line of FILE (standard input without FILE, or with -)\n"
    "      as a key of DB; creates DB, with mode 0644 unless --mode says\n"
    "      otherwise, if it does not exist\n"
    "  list DB                       print the keys of DB, one a line, sorted\n"
    "  add [--address] DB KEY...     store the keys in DB\n"
    "  remove [--address] DB KEY...  delete the keys from DB\n"
    "  has [--address] DB KEY        exit 0 if DB holds KEY, 1 if not\n"
    "  blocks FILE|DIR               show the records of a block file, or of\n"
    "      every block file in DIR: receiver, sender, time of the last reply\n"
    "      (UTC) and its age in hours and minutes\n"
    "  purge [--dry-run] --older-than HOURS FILE|DIR\n"
    "      remove the block records older than HOURS and reorganise the files\n"
    "      changed; --dry-run only counts\n"
    "  recover FILE                  rebuild a damaged database from the\n"
    "      records GDBM can still read; the damaged file is kept as FILE.~N~\n"
    "\n"
    "With -c CONFIG, the block store that orvelt's configuration names:\n"
    "  blocks -c CONFIG              show its records (Redis, or the files\n"
    "      under blockfiles)\n"
    "  remove -c CONFIG RECEIVER SENDER\n"
    "      delete the record of one pair from the Redis store, so that the\n"
    "      sender's next message is answered\n"
    "  purge -c CONFIG [--older-than HOURS]\n"
    "      Redis: count the records (they expire by themselves); GDBM: purge\n"
    "      the files under blockfiles\n"
    "  import -c CONFIG FILE|DIR     copy the records of GDBM block files into\n"
    "      the Redis store, each with the time it has left\n"
    "\n"
    "  --replace   empty DB before loading\n"
    "  --address   normalise every key as orvelt normalises addresses (for\n"
    "              a blacklist); lines without an address are skipped\n"
    "\n"
    "Exit status: 0 done; 1 has: KEY is absent, otherwise some lines, keys or\n"
    "records were skipped (each reported); 2 error.\n";

// The options a command may take.
enum Option : unsigned {
  kReplace = 1u << 0,
  kAddress = 1u << 1,
  kMode = 1u << 2,
  kDryRun = 1u << 3,
  kOlderThan = 1u << 4,
  kConfig = 1u << 5,
};

// One command line, taken apart.
struct Invocation {
  std::string command;
  std::vector<std::string> operands;
  unsigned given = 0;  // Option bits
  std::string mode;
  std::string older_than;
  std::string config;
};

// The streams and the exit status of one run.
class Run {
 public:
  explicit Run(const DbStreams& streams) : streams_(streams) {}

  FILE* in() const { return streams_.in; }
  FILE* out() const { return streams_.out; }

  // "orvelt-db: <message>" on the error stream.
  void say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    fputs("orvelt-db: ", streams_.err);
    vfprintf(streams_.err, format, args);
    fputc('\n', streams_.err);
    va_end(args);
  }

  // Worsens the exit status; it never gets better again.
  void mark(int status) { status_ = std::max(status_, status); }
  int status() const { return status_; }

 private:
  DbStreams streams_;
  int status_ = kDbDone;
};

// A path as it appears in messages.
std::string shown(const std::string& path) { return escape_for_display(path); }

// "1 key", "2 keys".
std::string count_of(size_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// ---------------------------------------------------------------------------
// Arguments

struct OptionName {
  const char* name;
  Option bit;
  bool takes_value;
};

constexpr OptionName kOptions[] = {
    {"--replace", kReplace, false}, {"--address", kAddress, false},     {"--mode", kMode, true},
    {"--dry-run", kDryRun, false},  {"--older-than", kOlderThan, true}, {"-c", kConfig, true},
    {"--config", kConfig, true},
};

// Separates options from operands; options may stand anywhere, "--" ends
// them. Gives false, after a message, for an option that is unknown, not
// taken by this command (allowed), or missing its value.
bool parse_arguments(Run& run, const std::vector<std::string>& args, unsigned allowed,
                     Invocation& inv) {
  bool options_end = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      inv.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionName* option = nullptr;
    for (const OptionName& o : kOptions) {
      if (name == o.name) option = &o;
    }
    if (option == nullptr || (allowed & option->bit) == 0) {
      run.say("%s: unknown option for %s", shown(name).c_str(), inv.command.c_str());
      return false;
    }
    inv.given |= option->bit;
    if (!option->takes_value) {
      if (equals != std::string::npos) {
        run.say("%s takes no value", option->name);
        return false;
      }
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      run.say("%s needs a value", option->name);
      return false;
    }
    (option->bit == kMode     ? inv.mode
     : option->bit == kConfig ? inv.config
                              : inv.older_than) = value;
  }
  return true;
}

// A whole number of hours from 0 up to what still fits in seconds.
std::optional<int64_t> parse_hours(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t hours = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    hours = hours * 10 + (c - '0');
  }
  if (hours > INT64_MAX / 3600) return std::nullopt;
  return hours;
}

// A file mode in octal, at most 0777.
std::optional<int> parse_mode(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  int mode = 0;
  for (const char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + (c - '0');
  }
  if (mode > 0777) return std::nullopt;
  return mode;
}

KeyKind kind_of(const Invocation& inv) {
  return (inv.given & kAddress) != 0 ? KeyKind::kAddress : KeyKind::kHeaderLine;
}

// ---------------------------------------------------------------------------
// Opening databases

// Why the last store_open failed, from GDBM's error code; store_open's
// pauses leave that code alone.
std::string open_failure() {
  switch (gdbm_errno) {
    case GDBM_CANT_BE_READER:
    case GDBM_CANT_BE_WRITER:
      return "locked by another process for too long; try again later";
    case GDBM_BAD_MAGIC_NUMBER:
    case GDBM_EMPTY_DATABASE:
    case GDBM_FILE_EOF:
    case GDBM_BAD_HEADER:
    case GDBM_BLOCK_SIZE_ERROR:
    case GDBM_BAD_FILE_OFFSET:
      return std::string("not a GDBM database (") + gdbm_strerror(gdbm_errno) + ")";
    default:
      return std::string("cannot open: ") + gdbm_strerror(gdbm_errno);
  }
}

// Opens an existing database in mode, through store_open, or reports why
// not and gives none. What GDBM would report less plainly is found out
// first: a missing file, one that is no regular file or empty (a writer
// open would turn an empty file into a database), and missing permissions.
StoreHandle open_existing(Run& run, const std::string& path, StoreMode mode) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    run.say("%s: %s", shown(path).c_str(), errno == ENOENT ? "no such file" : strerror(errno));
    return {};
  }
  const char* problem = nullptr;
  if (S_ISDIR(status.st_mode)) {
    problem = "is a directory";
  } else if (!S_ISREG(status.st_mode)) {
    problem = "not a regular file";
  } else if (status.st_size == 0) {
    problem = "empty file, not a GDBM database";
  } else if (access(path.c_str(), mode == StoreMode::kReader ? R_OK : R_OK | W_OK) != 0) {
    problem = strerror(errno);
  }
  if (problem != nullptr) {
    run.say("%s: %s", shown(path).c_str(), problem);
    return {};
  }
  // An existing file is never created, so no creation mode is needed.
  StoreHandle db = store_open(path, mode, 0);
  if (!db) run.say("%s: %s", shown(path).c_str(), open_failure().c_str());
  return db;
}

// Opens the database that `load` fills: an existing one for writing, or a
// new one, created with the given permission bits (less the process
// umask) in a directory that must exist.
StoreHandle open_for_load(Run& run, const std::string& path, int mode) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0 || errno != ENOENT) {
    return open_existing(run, path, StoreMode::kWriter);
  }
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string directory = parent.empty() ? "." : parent.string();
  if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    run.say("%s: no such directory", shown(directory).c_str());
    return {};
  }
  StoreHandle db = store_open(path, StoreMode::kWriterCreate, mode);
  if (!db) run.say("%s: %s", shown(path).c_str(), open_failure().c_str());
  return db;
}

// ---------------------------------------------------------------------------
// Keys

// Owns a FILE* that this run opened (not the standard streams).
struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using OwnedFile = std::unique_ptr<FILE, FileCloser>;

// Reads the key lines of `load` from path ("-" for the input stream) and
// reports the lines skipped. Gives false, after a message, when the input
// cannot be read; the database is not touched then.
bool read_load_input(Run& run, const std::string& path, KeyKind kind, KeyLines& lines) {
  const bool from_stream = path == "-";
  const std::string name = from_stream ? "standard input" : shown(path);
  OwnedFile file;
  if (!from_stream) {
    file.reset(fopen(path.c_str(), "rb"));
    if (!file) {
      run.say("%s: %s", name.c_str(), strerror(errno));
      return false;
    }
  }
  if (!read_key_lines(from_stream ? run.in() : file.get(), kind, lines)) {
    run.say("%s: %s", name.c_str(), strerror(errno));
    return false;
  }
  for (const RejectedLine& r : lines.rejected) {
    run.say("%s:%zu: %s; skipped", name.c_str(), r.number, r.reason.c_str());
    run.mark(kDbPartly);
  }
  return true;
}

// The keys given on the command line, each checked as a line of `load`
// would be; the ones that cannot be keys are reported and left out.
std::vector<std::string> keys_from_operands(Run& run, const Invocation& inv, size_t first) {
  std::vector<std::string> keys;
  for (size_t i = first; i < inv.operands.size(); ++i) {
    const std::string& operand = inv.operands[i];
    KeyOrReason k = key_from_line(operand, kind_of(inv));
    if (k.reason.empty() && k.key.empty()) k.reason = "empty";
    if (!k.reason.empty()) {
      run.say("key \"%s\": %s; skipped", shown(operand).c_str(), k.reason.c_str());
      run.mark(kDbPartly);
      continue;
    }
    keys.push_back(std::move(k.key));
  }
  return keys;
}

// Stores keys in db and tells how many were new. Gives false after a
// message when GDBM fails.
bool insert_keys(Run& run, const StoreHandle& db, const std::string& path,
                 const std::vector<std::string>& keys, size_t& added) {
  added = 0;
  for (const std::string& key : keys) {
    const int stored = insert_key(db, key);
    if (stored < 0) {
      run.say("%s: storing \"%s\": %s", shown(path).c_str(), shown(key).c_str(),
              gdbm_strerror(gdbm_errno));
      return false;
    }
    if (stored == 0) ++added;
  }
  return true;
}

// Deletes every record of db, keys byte for byte; gives how many.
bool delete_all(Run& run, const StoreHandle& db, const std::string& path, size_t& deleted) {
  std::vector<RawRecord> records;
  std::string error;
  if (!read_records(db, records, error)) {
    run.say("%s: %s", shown(path).c_str(), error.c_str());
    return false;
  }
  for (const RawRecord& r : records) {
    if (gdbm_delete(db.get(), datum_over(r.key)) != 0) {
      run.say("%s: %s", shown(path).c_str(), gdbm_strerror(gdbm_errno));
      return false;
    }
  }
  deleted = records.size();
  return true;
}

// ---------------------------------------------------------------------------
// Commands

void command_load(Run& run, const Invocation& inv) {
  int mode = 0644;
  if ((inv.given & kMode) != 0) {
    const auto parsed = parse_mode(inv.mode);
    if (!parsed) {
      run.say("--mode %s: not an octal file mode", shown(inv.mode).c_str());
      run.mark(kDbFailed);
      return;
    }
    mode = *parsed;
  }
  const std::string& path = inv.operands[0];
  // The whole input is read and checked before the database is opened:
  // the lock is held only while writing, and a bad input file changes
  // nothing.
  KeyLines lines;
  if (!read_load_input(run, inv.operands.size() > 1 ? inv.operands[1] : "-", kind_of(inv), lines)) {
    run.mark(kDbFailed);
    return;
  }
  StoreHandle db = open_for_load(run, path, mode);
  if (!db) {
    run.mark(kDbFailed);
    return;
  }
  // Readers wait while this process holds the writer lock, so orvelt sees
  // the old keys or the new ones, never a mixture.
  size_t deleted = 0;
  size_t added = 0;
  if (((inv.given & kReplace) != 0 && !delete_all(run, db, path, deleted)) ||
      !insert_keys(run, db, path, lines.keys, added)) {
    run.mark(kDbFailed);
    return;
  }
  store_close(db);
  if ((inv.given & kReplace) != 0) {
    fprintf(run.out(), "%s: removed %s\n", shown(path).c_str(),
            count_of(deleted, "old key").c_str());
  }
  fprintf(run.out(), "%s: loaded %s, %zu new, %zu already there\n", shown(path).c_str(),
          count_of(lines.keys.size(), "key").c_str(), added, lines.keys.size() - added);
}

void command_list(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  StoreHandle db = open_existing(run, path, StoreMode::kReader);
  if (!db) return run.mark(kDbFailed);
  std::vector<RawRecord> records;
  std::string error;
  const bool complete = read_records(db, records, error);
  store_close(db);
  for (const RawRecord& r : records) {
    const auto text = key_text(r.key);
    // Printed as they stand, so that the output loads back unchanged;
    // keys that no line can give are reported instead.
    if (text && text->find('\n') == std::string_view::npos) {
      fwrite(text->data(), 1, text->size(), run.out());
      fputc('\n', run.out());
    } else {
      run.say("%s: key \"%s\": %s; orvelt never matches it", shown(path).c_str(),
              shown(r.key).c_str(), text ? "contains a newline" : "not a NUL-terminated text");
      run.mark(kDbPartly);
    }
  }
  if (!complete) {
    run.say("%s: %s", shown(path).c_str(), error.c_str());
    run.mark(kDbFailed);
  }
}

void command_add(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  const std::vector<std::string> keys = keys_from_operands(run, inv, 1);
  StoreHandle db = open_existing(run, path, StoreMode::kWriter);
  if (!db) return run.mark(kDbFailed);
  size_t added = 0;
  if (!insert_keys(run, db, path, keys, added)) return run.mark(kDbFailed);
  store_close(db);
  fprintf(run.out(), "%s: added %s, %zu already there\n", shown(path).c_str(),
          count_of(added, "key").c_str(), keys.size() - added);
}

void command_remove(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  const std::vector<std::string> keys = keys_from_operands(run, inv, 1);
  StoreHandle db = open_existing(run, path, StoreMode::kWriter);
  if (!db) return run.mark(kDbFailed);
  size_t removed = 0;
  for (const std::string& key : keys) {
    const int deleted = delete_key(db, key);
    if (deleted < 0) {
      run.say("%s: removing \"%s\": %s", shown(path).c_str(), shown(key).c_str(),
              gdbm_strerror(gdbm_errno));
      return run.mark(kDbFailed);
    }
    if (deleted == 1) {
      run.say("%s: no key \"%s\"", shown(path).c_str(), shown(key).c_str());
      run.mark(kDbPartly);
    } else {
      ++removed;
    }
  }
  store_close(db);
  fprintf(run.out(), "%s: removed %s\n", shown(path).c_str(), count_of(removed, "key").c_str());
}

void command_has(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  KeyOrReason k = key_from_line(inv.operands[1], kind_of(inv));
  if (k.reason.empty() && k.key.empty()) k.reason = "empty";
  if (!k.reason.empty()) {
    run.say("key \"%s\": %s", shown(inv.operands[1]).c_str(), k.reason.c_str());
    return run.mark(kDbFailed);
  }
  StoreHandle db = open_existing(run, path, StoreMode::kReader);
  if (!db) return run.mark(kDbFailed);
  if (!store_has_key(k.key, db)) run.mark(kDbPartly);
}

// The block files that a FILE|DIR operand names: the file itself, or every
// regular file directly in the directory, sorted by name. An empty file in
// the directory is passed over: it holds no records, and it may be a block
// file that orvelt is creating at this very moment. Gives false after a
// message when the operand names neither.
bool block_files_of(Run& run, const std::string& operand, std::vector<std::string>& files) {
  struct stat status;
  if (stat(operand.c_str(), &status) != 0) {
    run.say("%s: %s", shown(operand).c_str(), errno == ENOENT ? "no such file" : strerror(errno));
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    files.push_back(operand);
    return true;
  }
  std::error_code failure;
  std::filesystem::directory_iterator entries(operand, failure);
  for (; !failure && entries != std::filesystem::directory_iterator(); entries.increment(failure)) {
    // An entry that cannot be looked at (gone since the directory was
    // read) is passed over like an empty one.
    std::error_code gone;
    if (entries->is_regular_file(gone) && entries->file_size(gone) > 0 && !gone) {
      files.push_back(entries->path().string());
    }
  }
  if (failure) {
    run.say("%s: %s", shown(operand).c_str(), failure.message().c_str());
    return false;
  }
  std::sort(files.begin(), files.end());
  return true;
}

// The receiver a block file belongs to: its name.
std::string receiver_of(const std::string& file) {
  return escape_for_display(std::filesystem::path(file).filename().string());
}

// Reads every record of the block file at file under orvelt's reader lock
// into records. False, with the failure reported and marked, when the file
// does not open; a walk that GDBM cut short is reported and marked too, and
// what was read before it is kept.
bool read_block_file(Run& run, const std::string& file, std::vector<RawRecord>& records) {
  StoreHandle db = open_existing(run, file, StoreMode::kReader);
  if (!db) {
    run.mark(kDbFailed);
    return false;
  }
  std::string error;
  if (!read_records(db, records, error)) {
    run.say("%s: %s", shown(file).c_str(), error.c_str());
    run.mark(kDbFailed);
  }
  return true;
}

void blocks_of_files(Run& run, const std::string& operand) {
  std::vector<std::string> files;
  if (!block_files_of(run, operand, files)) return run.mark(kDbFailed);
  const int64_t now = time(nullptr);
  for (const std::string& file : files) {
    std::vector<RawRecord> records;
    if (!read_block_file(run, file, records)) continue;
    const std::string receiver = receiver_of(file);
    for (const RawRecord& raw : records) {
      const BlockRecord r = block_record_of(raw);
      if (r.readable) {
        int64_t age = 0;
        const std::string age_text =
            __builtin_sub_overflow(now, r.time, &age) ? "?" : format_age(age);
        fprintf(run.out(), "%s\t%s\t%s\t%s\n", receiver.c_str(), r.sender.c_str(),
                format_utc(r.time).c_str(), age_text.c_str());
      } else {
        fprintf(run.out(), "%s\t%s\tunreadable: %s\n", receiver.c_str(), r.sender.c_str(),
                r.problem.c_str());
      }
    }
  }
}

void purge_files(Run& run, const Invocation& inv, const std::string& operand) {
  if ((inv.given & kOlderThan) == 0) {
    run.say("purge needs --older-than HOURS");
    return run.mark(kDbFailed);
  }
  const auto hours = parse_hours(inv.older_than);
  if (!hours) {
    run.say("--older-than %s: not a whole number of hours", shown(inv.older_than).c_str());
    return run.mark(kDbFailed);
  }
  const bool dry_run = (inv.given & kDryRun) != 0;
  std::vector<std::string> files;
  if (!block_files_of(run, operand, files)) return run.mark(kDbFailed);
  const int64_t now = time(nullptr);
  size_t purged = 0;
  size_t changed = 0;
  for (const std::string& file : files) {
    StoreHandle db = open_existing(run, file, dry_run ? StoreMode::kReader : StoreMode::kWriter);
    if (!db) {
      run.mark(kDbFailed);
      continue;
    }
    PurgeResult result;
    std::string error;
    const bool done = purge_block_file(db, now, *hours, dry_run, result, error);
    store_close(db);
    const std::string receiver = receiver_of(file);
    if (!done) {
      run.say("%s: %s", shown(file).c_str(), error.c_str());
      run.mark(kDbFailed);
      continue;
    }
    if (result.expired > 0) {
      fprintf(run.out(), "%s: %s %zu of %s\n", receiver.c_str(),
              dry_run ? "would remove" : "removed", result.expired,
              count_of(result.records, "record").c_str());
      purged += result.expired;
      ++changed;
    }
    if (result.unreadable > 0) {
      fprintf(run.out(), "%s: left %s alone\n", receiver.c_str(),
              count_of(result.unreadable, "unreadable record").c_str());
    }
  }
  fprintf(run.out(), "%s %s from %zu of %s\n", dry_run ? "would purge" : "purged",
          count_of(purged, "record").c_str(), changed,
          count_of(files.size(), "block file").c_str());
}

// ---------------------------------------------------------------------------
// The block store of a configuration (-c CONFIG)

// Reads orvelt's configuration named by -c into g_config; false after a
// message when it cannot be read.
bool read_config(Run& run, const Invocation& inv) {
  const std::unique_ptr<FILE, FileCloser> file(fopen(inv.config.c_str(), "r"));
  if (!file) {
    run.say("%s: %s", shown(inv.config).c_str(), strerror(errno));
    return false;
  }
  if (!config_read_stream(file.get())) {
    run.say("%s: %s", shown(inv.config).c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool uses_redis() { return !g_config.blockstore.empty(); }

// Connects to the first server of blockstore that answers as a primary,
// as orvelt does; reports every server passed over. None after a message
// when no server is usable or one refuses the password.
RedisConnection connect_store(Run& run) {
  for (const std::string& server : g_config.blockstore) {
    RedisOpened opened = redis_open(server, g_config.blockstore_password);
    if (opened.refused) {
      run.say("%s: %s", shown(server).c_str(), shown(opened.reason).c_str());
      return {};
    }
    if (!opened.connection) {
      run.say("%s skipped: %s", shown(server).c_str(), shown(opened.reason).c_str());
      continue;
    }
    const RedisReply role = redis_command(opened.connection, {"ROLE"});
    if (!role) {
      run.say("%s skipped: %s", shown(server).c_str(),
              shown(redis_failure(opened.connection)).c_str());
      continue;
    }
    if (role->type == REDIS_REPLY_ERROR) {
      run.say("%s: %s", shown(server).c_str(), shown({role->str, role->len}).c_str());
      return {};
    }
    if (role->type == REDIS_REPLY_ARRAY && role->elements > 0 &&
        role->element[0]->type == REDIS_REPLY_STRING &&
        std::string_view(role->element[0]->str, role->element[0]->len) == "master") {
      return std::move(opened.connection);
    }
    run.say("%s skipped: a replica", shown(server).c_str());
  }
  run.say("no Redis server of blockstore usable");
  return {};
}

// A pattern for SCAN that matches text itself and then anything.
std::string prefix_pattern(std::string_view text) {
  std::string pattern;
  for (const char c : text) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "*";
}

// One record of the Redis store.
struct RedisRecord {
  std::string receiver;
  std::string sender;
  std::string value;
};

// Reports a command that failed: no answer, or the server's error.
void say_failed(Run& run, const RedisConnection& connection, const RedisReply& reply) {
  if (!reply) {
    run.say("%s", shown(redis_failure(connection)).c_str());
  } else {
    run.say("%s", shown({reply->str, reply->len}).c_str());
  }
}

// Every block record under blockstore_prefix, sorted by receiver and
// sender (SCAN, then
// GET; a key that expires meanwhile is left out). Keys of other shapes
// under the prefix are not orvelt's and are passed over. False after a
// message when the server fails.
bool scan_records(Run& run, const RedisConnection& connection, std::vector<RedisRecord>& out) {
  const std::string pattern = prefix_pattern(g_config.blockstore_prefix);
  std::vector<std::string> keys;
  std::string cursor = "0";
  do {
    const RedisReply reply =
        redis_command(connection, {"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) {
      say_failed(run, connection, reply);
      return false;
    }
    cursor.assign(reply->element[0]->str, reply->element[0]->len);
    const redisReply* found = reply->element[1];
    for (size_t i = 0; i < found->elements; ++i) {
      keys.emplace_back(found->element[i]->str, found->element[i]->len);
    }
  } while (cursor != "0");
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());  // SCAN may repeat
  for (const std::string& key : keys) {
    const auto parts = redis_block_key_parts(g_config.blockstore_prefix, key);
    if (!parts) continue;
    const RedisReply value = redis_command(connection, {"GET", key});
    if (!value || value->type == REDIS_REPLY_ERROR) {
      say_failed(run, connection, value);
      return false;
    }
    if (value->type != REDIS_REPLY_STRING) continue;
    out.push_back({parts->first, parts->second, std::string(value->str, value->len)});
  }
  std::sort(out.begin(), out.end(), [](const RedisRecord& a, const RedisRecord& b) {
    return std::tie(a.receiver, a.sender) < std::tie(b.receiver, b.sender);
  });
  return true;
}

void redis_blocks(Run& run) {
  const RedisConnection connection = connect_store(run);
  if (!connection) return run.mark(kDbFailed);
  std::vector<RedisRecord> records;
  if (!scan_records(run, connection, records)) return run.mark(kDbFailed);
  const int64_t now = time(nullptr);
  for (const RedisRecord& r : records) {
    const std::string receiver = escape_for_display(r.receiver);
    const std::string sender = escape_for_display(r.sender);
    const std::optional<int64_t> time = redis_block_time(r.value);
    int64_t age = 0;
    if (!time) {
      fprintf(run.out(), "%s\t%s\tunreadable: not a reply time\n", receiver.c_str(),
              sender.c_str());
    } else {
      const std::string age_text = __builtin_sub_overflow(now, *time, &age) ? "?" : format_age(age);
      fprintf(run.out(), "%s\t%s\t%s\t%s\n", receiver.c_str(), sender.c_str(),
              format_utc(*time).c_str(), age_text.c_str());
    }
  }
}

void redis_remove(Run& run, const std::string& receiver, const std::string& sender) {
  const RedisConnection connection = connect_store(run);
  if (!connection) return run.mark(kDbFailed);
  const RedisReply reply = redis_command(
      connection, {"DEL", redis_block_key(g_config.blockstore_prefix, receiver, sender)});
  if (!reply || reply->type != REDIS_REPLY_INTEGER) {
    say_failed(run, connection, reply);
    return run.mark(kDbFailed);
  }
  if (reply->integer == 0) {
    run.say("no record of %s for %s", shown(sender).c_str(), shown(receiver).c_str());
    return run.mark(kDbPartly);
  }
  fprintf(run.out(), "removed the record of %s for %s\n", shown(sender).c_str(),
          shown(receiver).c_str());
}

void redis_purge(Run& run) {
  const RedisConnection connection = connect_store(run);
  if (!connection) return run.mark(kDbFailed);
  std::vector<RedisRecord> records;
  if (!scan_records(run, connection, records)) return run.mark(kDbFailed);
  fprintf(run.out(), "nothing to purge: keys expire by themselves (%s now)\n",
          count_of(records.size(), "record").c_str());
}

// Needs -c, and refuses a FILE|DIR operand beside it.
bool config_alone(Run& run, const Invocation& inv) {
  if (!inv.operands.empty()) {
    run.say("%s takes FILE|DIR or -c CONFIG, not both", inv.command.c_str());
    return false;
  }
  return read_config(run, inv);
}

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
  if (uses_redis()) return redis_purge(run);
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

void command_import(Run& run, const Invocation& inv) {
  if ((inv.given & kConfig) == 0) {
    run.say("import needs -c CONFIG");
    return run.mark(kDbFailed);
  }
  if (!read_config(run, inv)) return run.mark(kDbFailed);
  if (!uses_redis()) {
    run.say("%s: blockstore names no Redis server", shown(inv.config).c_str());
    return run.mark(kDbFailed);
  }
  if (g_config.blockexpire <= 0) {
    run.say("%s: blockexpire %d: nothing blocks, nothing to import", shown(inv.config).c_str(),
            g_config.blockexpire);
    return run.mark(kDbFailed);
  }
  std::vector<std::string> files;
  if (!block_files_of(run, inv.operands[0], files)) return run.mark(kDbFailed);
  const RedisConnection connection = connect_store(run);
  if (!connection) return run.mark(kDbFailed);
  const int64_t lifetime = int64_t{g_config.blockexpire} * 3600 + 1;
  const int64_t now = time(nullptr);
  size_t imported = 0, expired = 0, present = 0;
  for (const std::string& file : files) {
    std::vector<RawRecord> raws;
    if (!read_block_file(run, file, raws)) continue;
    const std::string receiver = std::filesystem::path(file).filename().string();
    size_t unreadable = 0;
    for (const RawRecord& raw : raws) {
      const BlockRecord r = block_record_of(raw);
      if (!r.readable) {
        ++unreadable;
        continue;
      }
      // The time left, as the program counts it; a time in the future
      // gets no more than a whole period.
      int64_t left = 0;
      if (__builtin_sub_overflow(r.time, now, &left) || left > 0) left = 0;
      if (__builtin_add_overflow(left, lifetime, &left) || left <= 0) {
        ++expired;
        continue;
      }
      const std::string sender(*key_text(r.key));  // a readable record's key is a text
      const RedisReply reply = redis_command(
          connection, {"SET", redis_block_key(g_config.blockstore_prefix, receiver, sender),
                       std::to_string(r.time) + " import", "NX", "EX", std::to_string(left)});
      if (!reply || reply->type == REDIS_REPLY_ERROR) {
        say_failed(run, connection, reply);
        return run.mark(kDbFailed);
      }
      ++(reply->type == REDIS_REPLY_STATUS ? imported : present);
    }
    if (unreadable > 0) {
      run.say("%s: left %s alone", shown(file).c_str(),
              count_of(unreadable, "unreadable record").c_str());
      run.mark(kDbPartly);
    }
  }
  fprintf(run.out(), "imported %s from %s, %zu expired, %zu already there\n",
          count_of(imported, "record").c_str(), count_of(files.size(), "block file").c_str(),
          expired, present);
}

// Owns the backup name that gdbm_recover allocates.
struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};
using AllocatedText = std::unique_ptr<char, FreeDeleter>;

// Tells what recovery kept of path and what it lost; losses mark the run.
void report_recovery(Run& run, const std::string& path, gdbm_count_t kept,
                     const gdbm_recovery& report, const char* backup) {
  fprintf(run.out(), "%s: recovered %s, %zu lost\n", shown(path).c_str(),
          count_of(static_cast<size_t>(kept), "record").c_str(), report.failed_keys);
  if (report.failed_buckets > 0) {
    // GDBM cannot tell how many records an unreadable bucket held.
    fprintf(run.out(), "%s: %s unreadable, the records in %s lost\n", shown(path).c_str(),
            count_of(report.failed_buckets, "bucket").c_str(),
            report.failed_buckets == 1 ? "it" : "them");
  }
  if (backup != nullptr) {
    fprintf(run.out(), "%s: the damaged file is kept as %s\n", shown(path).c_str(),
            shown(backup).c_str());
  }
  if (report.failed_keys > 0 || report.failed_buckets > 0) run.mark(kDbPartly);
}

void command_recover(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  // The writer lock keeps orvelt out while the file is rebuilt.
  StoreHandle db = open_existing(run, path, StoreMode::kWriter);
  if (!db) return run.mark(kDbFailed);
  // Forced: GDBM's own check misses damage that the rebuild gets past. The
  // damaged file is kept, as records that GDBM could not read may still be
  // rescued from it by other means.
  gdbm_recovery report{};
  const int failed = gdbm_recover(db.get(), &report, GDBM_RCVR_FORCE | GDBM_RCVR_BACKUP);
  const AllocatedText backup(report.backup_name);
  if (failed != 0) {
    run.say("%s: cannot recover: %s", shown(path).c_str(), gdbm_db_strerror(db.get()));
    return run.mark(kDbFailed);
  }
  gdbm_count_t kept = 0;
  if (gdbm_count(db.get(), &kept) != 0) {
    run.say("%s: counting the records: %s", shown(path).c_str(), gdbm_db_strerror(db.get()));
    return run.mark(kDbFailed);
  }
  if (!store_close_written(db)) {
    run.say("%s: %s", shown(path).c_str(), store_last_error().c_str());
    return run.mark(kDbFailed);
  }
  report_recovery(run, path, kept, report, backup.get());
}

// ---------------------------------------------------------------------------
// Dispatch

struct Command {
  const char* name;
  unsigned options;
  size_t min_operands;
  size_t max_operands;  // SIZE_MAX: any number
  void (*handler)(Run&, const Invocation&);
};

constexpr Command kCommands[] = {
    {"load", kReplace | kAddress | kMode, 1, 2, command_load},
    {"list", 0, 1, 1, command_list},
    {"add", kAddress, 2, SIZE_MAX, command_add},
    {"remove", kAddress | kConfig, 2, SIZE_MAX, command_remove_keys},
    {"has", kAddress, 2, 2, command_has},
    {"blocks", kConfig, 0, 1, command_blocks},
    {"purge", kDryRun | kOlderThan | kConfig, 0, 1, command_purge},
    {"import", kConfig, 1, 1, command_import},
    {"recover", 0, 1, 1, command_recover},
};

// True when --help stands anywhere before a "--".
bool asks_for_help(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help") return true;
  }
  return false;
}

}  // namespace

int run_db_tool(const std::vector<std::string>& args, const DbStreams& streams) {
  Run run(streams);
  auto fail_usage = [&]() {
    fputs("Try 'orvelt-db --help'.\n", streams.err);
    return kDbFailed;
  };
  if (args.empty()) {
    run.say("no command given");
    return fail_usage();
  }
  const std::string& name = args[0];
  if (name == "-h" || name == "help" || asks_for_help(args)) {
    fputs(kUsage, streams.out);
    return kDbDone;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (name == c.name) command = &c;
  }
  if (command == nullptr) {
    run.say("unknown command \"%s\"", shown(name).c_str());
    return fail_usage();
  }
  Invocation inv;
  inv.command = name;
  if (!parse_arguments(run, args, command->options, inv)) return fail_usage();
  if (inv.operands.size() < command->min_operands || inv.operands.size() > command->max_operands) {
    run.say("%s: wrong number of arguments", name.c_str());
    return fail_usage();
  }
  command->handler(run, inv);
  return run.status();
}
