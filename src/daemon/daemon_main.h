// orveltd's start, run and stop, around the handler that serves each
// connection (the LMTP sessions; a test gives its own).
#pragma once

#include "daemon/server.h"

// Reads the options as orvelt does (-c CONFIG, default the build's path;
// -h prints the usage text), blocks SIGHUP, SIGTERM and SIGINT for the
// main loop (block_server_signals), opens the log, warns when running as root
// ("WARN/SYS running as root") and reads the configuration: one that
// cannot be read ends the process with "CRIT/IO <path>: <reason>" and the
// build's default failstatus, one whose listening socket cannot be made
// with its failstatus. Then it publishes the configuration, opens the
// directory library and sets up its process-wide state, starts
// lmtp_workers workers (each adopts the configuration, then calls
// make_handler) and serves until SIGTERM or SIGINT (run_server): returns 0
// then, or failstatus when the stop had to cut transactions short; the
// MTAs running then are killed and their replies' claims settled
// (stop_running_mtas). A failed allocation ends the process with
// "CRIT/SYS Out of memory" and failstatus, from the main thread whichever
// thread it met.
// SIGHUP reads the configuration file again into a fresh record and
// publishes it ("INFO/SYS configuration reloaded"); one that cannot be
// read leaves the old in force ("WARN/CFG reload failed: <path>:
// <reason>").
int daemon_main(int argc, char** argv, const HandlerFactory& make_handler);
