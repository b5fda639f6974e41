// System log access: every message of the program goes through here.
#pragma once

#include <string>
#include <string_view>

#include "config/install_paths.h"

// Opens the system log with the ident "orvelt", LOG_PID and LOG_MAIL.
void log_open();

// Closes the system log.
void log_close();

// Logs "WARN/SYS running as root" at priority warning when the effective
// user is root: a long-running server needs no privileges of its own.
void log_warn_if_root();

// Logs one message at the given syslog priority (LOG_ERR, LOG_WARNING, ...).
// The text is formatted printf-style; callers pass untrusted values through
// "%s" only, never as the format. The calling thread's prefix (see
// log_set_prefix), if it has one, comes first.
void log_message(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Sets the text that begins every log_message line of the calling thread
// from now on, such as "<transaction id>: " (orveltd's); empty: none, as a
// thread starts. log_fatal and log_reported write theirs through
// log_message, so a prefix shows in their log line too, but never on
// standard error.
void log_set_prefix(std::string prefix);

// Ends the run on a fatal condition: logs one message as log_message does,
// writes the same text after "orvelt: " as one line to standard error (the
// MTA keeps it in its own log with the deferral), closes the log and exits
// with the fatal exit status. Every fatal stop of the program goes through
// here (exit_no_memory too). Texts longer than 4 KiB are cut there.
[[noreturn]] void log_fatal(int priority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Ends the run on failure (not done): logs and stops exactly as log_fatal
// does, with failure's priority and text. The one place where an outcome
// handed up from the directory, the block store or the MTA stops orvelt.
struct Outcome;
[[noreturn]] void end_run(const Outcome& failure);

// Logs text at priority and writes it after "orvelt: " as one line to
// standard error, as log_fatal does, but the run goes on: for a failure
// that is reported now and ends the run with the fatal exit status later.
void log_reported(int priority, const char* text);

// The exit status of log_fatal until the configuration sets another: the
// build's default failstatus (ORVELT_DEFAULT_FAILSTATUS, 1 unless the build
// chose another; 75, EX_TEMPFAIL, makes an MTA keep the message and try again
// later). It holds for a configuration that cannot be read, too.
inline constexpr int kDefaultFatalStatus = ORVELT_DEFAULT_FAILSTATUS;
void log_set_fatal_status(int status);

// Returns text with every control byte (below 0x20, and 0x7f) replaced by '?',
// so that a value taken from a message cannot forge or split log lines.
std::string log_safe(std::string_view text);

// Test seam: while a sink is set, messages go to it instead of syslog.
// A null sink restores syslog.
using LogSink = void (*)(int priority, const char* text);
void log_set_sink(LogSink sink);
