#include "dbtool/db_commands.h"

#include <cstdint>
#include <cstdio>

#include "config/config.h"
#include "config/config_check.h"
#include "dbtool/db_file_commands.h"
#include "dbtool/db_options.h"
#include "dbtool/db_store_commands.h"

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
    "  add -c CONFIG RECEIVER SENDER\n"
    "      record a reply to SENDER for RECEIVER now, as a confirmation\n"
    "      would (after \"confirmation lost\" in the log): the sender is\n"
    "      not answered again for blockexpire hours\n"
    "  purge -c CONFIG [--older-than HOURS]\n"
    "      Redis: count the records (they expire by themselves); GDBM: purge\n"
    "      the files under blockfiles\n"
    "  import -c CONFIG FILE|DIR     copy the records of GDBM block files into\n"
    "      the Redis store, each with the time it has left\n"
    "  -t [-c CONFIG]                test the configuration file (default: the\n"
    "      built-in one): print its problems, exit 1 if any\n"
    "\n"
    "  --replace   empty DB before loading\n"
    "  --address   normalise every key as orvelt normalises addresses (for\n"
    "              a blacklist); lines without an address are skipped\n"
    "\n"
    "Exit status: 0 done; 1 has: KEY is absent, otherwise some lines, keys or\n"
    "records were skipped (each reported); 2 error.\n";

// -t: the configuration test every program has.
void command_test(Run& run, const Invocation& inv) {
  run.mark(config_test(inv.config.empty() ? kDefaultConfigPath : inv.config.c_str(), run.err()));
}

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
    {"add", kAddress | kConfig, 2, SIZE_MAX, command_add_keys},
    {"remove", kAddress | kConfig, 2, SIZE_MAX, command_remove_keys},
    {"has", kAddress, 2, 2, command_has},
    {"blocks", kConfig, 0, 1, command_blocks},
    {"purge", kDryRun | kOlderThan | kConfig, 0, 1, command_purge},
    {"import", kConfig, 1, 1, command_import},
    {"recover", 0, 1, 1, command_recover},
    {"-t", kConfig, 0, 0, command_test},
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
