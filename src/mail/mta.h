// Hand-off of one reply to the MTA's submission program.
#pragma once

#include <string>

// What became of one reply handed to the MTA.
struct MtaOutcome {
  enum Status {
    kAccepted,   // the MTA ran and exited 0: it has the reply
    kFailed,     // the MTA did not take the reply; reason says why
    kNoProcess,  // no pipe or no process could be made; reason is the CRIT text
  };
  Status status = kAccepted;
  // kFailed: "exit status N", "signal N", "not run" or "timed out".
  std::string reason;
};

// Runs g_config.mta as a child with the reply on its standard input and
// returns once the child has ended, or has been killed after
// g_config.mtatimeout seconds (counted from its start, writing included).
// Threads may send replies at once: each collects its own child, and only
// that one (waitpid on its pid). The child's end is waited for on a pidfd
// opened right after the start, or, on a kernel without pidfd_open, by
// looking with waitpid(WNOHANG) at growing intervals (1 ms to 50 ms);
// never through SIGCHLD, which the caller's mask and handler do not
// concern. SIGCHLD must not be ignored (SIG_IGN): the kernel would then
// collect the child itself, and its status would be lost ("status
// unknown").
//
// The child's arguments are the words of "<mta> <mta_args>" with
// g_config.map_sender replaced by sender, then g_config.map_receiver by
// receiver, in every word; words are separated by runs of blanks. The child
// is started with posix_spawn: the path in g_config.mta is run as it
// stands; no shell, no path search. Its environment is
// PATH=/usr/sbin:/usr/bin:/sbin:/bin and the variables g_config.mta_env
// names, each with this process's value, where it has one (a PATH named
// there and set replaces the fixed one); nothing else of this process's
// environment. It starts
// with the default SIGPIPE disposition and with the calling thread's signal
// mask less SIGPIPE, SIGCHLD, SIGHUP, SIGINT and SIGTERM, with descriptors
// 1 and 2 as orvelt has them and no descriptor above 2 open, and as the
// leader of a process group of its own. The time limit kills
// that whole group (SIGKILL), so that what the MTA started goes with it; an
// MTA that ends by itself leaves its group alone. If the program cannot be
// run, "CRIT/MAIL execv(3) returned: <command line>" is logged at priority
// err and the outcome is kFailed, "not run".
//
// text is written byte for byte up to its first NUL byte. An MTA that stops
// reading early does not kill this process (SIGPIPE is held off the writing
// thread meanwhile; the disposition is left alone): "WARN/MAIL MTA did not
// take the whole reply" is logged at priority warning when loglevel > 0; the
// exit status still decides. An MTA that exits 0 has accepted the reply: then,
// with loglevel > 1, "INFO/MAIL sent mail: <receiver> -> <sender>" is
// logged. Nothing is logged here for an MTA that failed: the caller says
// what became of the reply.
//
// A stop signal noted in the claim window (util/stop_signal.h) stops the
// hand-off: before the start, no MTA is run; while the reply is written,
// the MTA's group is killed; while the MTA runs, its group is killed and it
// is collected, and its status decides as above (an MTA that had exited 0
// by then has the reply). The reason of a stopped reply is
// stop_signal_text's, "stopped by SIGTERM".
//
// No pipe or no child process at all gives kNoProcess with the text
// "CRIT/MAIL pipe to MTA failed" or "CRIT/MAIL couldn't fork MTA", which the
// caller logs when it stops the run, after undoing what it did for the reply.
MtaOutcome send_reply(const std::string& receiver, const std::string& sender,
                      const std::string& text);
