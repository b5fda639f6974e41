// orvelt-db's commands on the block store that orvelt's configuration names
// (-c CONFIG): GDBM files under blockfiles or Redis servers, reached through
// the same BlockStore as orvelt's. Without -c, blocks, purge, remove and add
// work on the files named on the command line (dbtool/db_file_commands.h).
#pragma once

#include "dbtool/db_options.h"

void command_blocks(Run& run, const Invocation& inv);
void command_purge(Run& run, const Invocation& inv);
void command_remove_keys(Run& run, const Invocation& inv);
// add -c CONFIG RECEIVER SENDER: the full record of a reply made now
// (BlockStore::record_reply), into Redis or the receiver's existing block
// file; without -c, keys added to a database.
void command_add_keys(Run& run, const Invocation& inv);
void command_import(Run& run, const Invocation& inv);
