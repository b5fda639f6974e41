// orvelt-web's start, run and stop.
#pragma once

// Reads the options as orvelt does (-c CONFIG, default the build's path;
// -h prints the usage text and returns 0), blocks SIGTERM, SIGINT and
// SIGHUP for every thread, opens the log, warns when running as root ("WARN/SYS
// running as root") and reads the configuration: one that cannot be read
// ends the process with "CRIT/IO <path>: <reason>" and the build's default
// failstatus. Then it publishes the configuration, opens the directory
// library, listens on web_listen (a bad address or one that cannot be
// listened on ends the process with its failstatus, "CRIT/IO web_listen
// <address>: <reason>") and serves in the foreground until SIGTERM or
// SIGINT: returns 0 then. SIGHUP reads the configuration again, as
// orveltd does: "INFO/SYS configuration reloaded", or "WARN/CFG reload
// failed: <path>: <reason>" with the configuration in force kept; the
// sessions stay either way, and web_listen keeps the address it listens on.
int web_main(int argc, char** argv);
