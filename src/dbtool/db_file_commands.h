// orvelt-db's commands on GDBM files named on the command line: the
// bad-header and blacklist databases (load, list, add, remove, has), block
// files (blocks, purge) and any database's recovery. Each reports to run and
// marks its exit status there.
#pragma once

#include <string>
#include <vector>

#include "dbtool/db_options.h"
#include "util/outcome.h"

void command_load(Run& run, const Invocation& inv);
void command_list(Run& run, const Invocation& inv);
void command_add(Run& run, const Invocation& inv);
void command_remove(Run& run, const Invocation& inv);
void command_has(Run& run, const Invocation& inv);
void command_recover(Run& run, const Invocation& inv);

// Shows every record of the block file, or of the block files in the
// directory, that operand names (BlockLister's lines). A file that cannot
// be read is reported and the rest shown.
void blocks_of_files(Run& run, const std::string& operand);

// Purges the block file, or the block files in the directory, that operand
// names: purge --older-than HOURS [--dry-run] (purge_block_file). In a
// directory, it also removes the files that store_open left under their
// temporary names more than an hour ago ("removed N stale temporary files"),
// and leaves younger ones, which may still be in the making.
void purge_files(Run& run, const Invocation& inv, const std::string& operand);

// Names each backup copy that listing a directory passed over, "skipped
// backup <path>" on the error stream; the exit status stays as it is.
void report_backups(Run& run, const std::vector<std::string>& backups);

// Reports a failure of listing block files or of the block store (its
// reason is the whole message) and marks the run failed.
void fail_listing(Run& run, const Outcome& failure);
