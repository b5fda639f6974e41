// orvelt-db: the operator's tool for orvelt's GDBM files. It prepares the
// bad-header and blacklist databases (keys stored with their NUL byte, as
// orvelt looks them up), shows and purges the block files, and rebuilds
// damaged databases with GDBM's recovery.
//
// Every database is opened through store_open, with the program's own lock
// retry, so the tool is safe to use while mail flows: it waits for
// orvelt's locks, and orvelt waits for its. Only `load` ever creates a
// database. Messages go to the error stream, never to the system log.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Exit statuses.
inline constexpr int kDbDone = 0;    // everything was done
inline constexpr int kDbPartly = 1;  // `has`: the key is absent; otherwise
                                     // some lines, keys or records were
                                     // skipped (each reported)
inline constexpr int kDbFailed = 2;  // bad arguments, or a file that could
                                     // not be read, opened or changed

// Where the commands read their input and write their results and
// messages.
struct DbStreams {
  FILE* in;
  FILE* out;
  FILE* err;
};

// Runs one command line, args without the program name, for example
// {"load", "--address", "/etc/orvelt/blacklist.db", "list.txt"}, and
// returns its exit status. The usage text (--help) goes to out.
int run_db_tool(const std::vector<std::string>& args, const DbStreams& streams);
