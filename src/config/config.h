// The configuration record, its defaults and the directive file.
#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/install_paths.h"
#include "util/strings.h"

enum class DirectoryTls { kNone, kStartTls, kLdaps };

// One noreply_header line: a header name and a POSIX extended regular
// expression, kept as written; compiled only when a message holds the header.
struct NoreplyHeader {
  std::string name;
  std::string pattern;
};

// Every setting of the program. Filled once by config_read_file and only read
// afterwards; a program with threads gives each its own copy (see g_config).
struct Config {
  std::string base;
  OptionalText login;
  OptionalText password;
  std::string server;
  std::string queryfilter;
  std::string result;
  int scope = 0;
  int port = 0;
  int protocol = 0;
  OptionalText charset;
  OptionalText badheaders;
  std::string blockfiles;
  std::string mta;
  std::string mta_args;
  OptionalText blacklist;
  OptionalText forceheader;
  OptionalText forcefooter;
  std::string map_sender;
  std::string map_receiver;
  StringList recvheader;
  std::string map_subject;
  // Attributes of the search: the map_field attributes in file order, then
  // `result` (appended once the whole file has been read).
  StringList map_field_attributes;
  // Placeholders of the map_field lines, index-aligned with the attributes.
  StringList map_field_placeholders;
  int blockexpire = 0;
  int maxreceivers = 0;
  int maxheader = 0;
  // Permission bits of a database file the program creates (the `umask`
  // directive, which despite its name gives the mode, not a mask; bits
  // 0777 only). As read from the file it holds read and write for the
  // owner: a mode without them is refused with "WARN/CFG umask <mode, 4
  // octal digits> would make block files the program cannot read; 0600
  // used" at priority warning, and 0600 is stored.
  int create_mode = 0;
  int loglevel = 0;
  // Decline automatic, list and bulk mail by header name and robot senders.
  bool rfc3834 = false;
  // How the directory connection is encrypted, and which CAs it trusts
  // (absent: the client library's own configuration).
  DirectoryTls tls = DirectoryTls::kNone;
  OptionalText tls_cacert;
  // Seconds a kept directory session may stay unused before it is reopened
  // rather than trusted (a firewall may have dropped it): 0 to 86400, 0 for
  // never.
  int ldap_idle = 0;
  // Exit status of every fatal stop once the file is read (1 to 255).
  int failstatus = 0;
  // Seconds the MTA may take to accept a reply before it is killed: 1 to
  // 86400 (see config_read_file for the values refused).
  int mtatimeout = 0;
  // Names of the environment variables the MTA is given from the program's
  // own environment, besides PATH (which is always the system's).
  StringList mta_env;
  // Characters that start an address extension (jane+news@...): a receiver's
  // local part is cut before the first of them. Empty: none.
  std::string recipient_delimiter;
  // Placeholder for the incoming Message-ID, for In-Reply-To and References.
  std::string map_messageid;
  // Placeholder of the current time (UTC GeneralizedTime) in queryfilter.
  std::string map_now;
  // The map_date lines: placeholders and their attributes, index-aligned;
  // a GeneralizedTime value is shown in local time with dateformat.
  StringList map_date_placeholders;
  StringList map_date_attributes;
  std::string dateformat;
  // Senders of these domains get the internal_result text of an entry
  // that has one; used only when both are set.
  StringList internal_domains;
  OptionalText internal_result;
  // Where the block records live: empty for the GDBM block files under
  // blockfiles (the directive's "gdbm"), otherwise the Redis servers
  // (redis://HOST[:PORT][/DB] or unix:/PATH), tried in this order.
  StringList blockstore;
  OptionalText blockstore_password;
  // Put before every key the program makes on the Redis servers.
  std::string blockstore_prefix;
  // Answer a receiver only when the message names it (or one of its own
  // addresses) in To, Cc, Bcc or Resent-*, and never its own addresses.
  bool personal = false;
  // Attributes of the matched entry whose values are the receiver's own
  // addresses too (asked for only with personal); the first value of the
  // first one keys the entry's block records.
  StringList alias_attributes;
  // Automatic mail by a header of the site's choice (spam verdicts), in
  // file order; and the placeholders of the message's References chain and
  // of its subject with encoded-words decoded.
  std::vector<NoreplyHeader> noreply_headers;
  std::string map_references;
  std::string map_subject_text;
  // Block records tell the texts apart: a sender answered with another
  // text of the receiver's is answered again.
  bool track_text = false;
  // The attribute holding a receiver's own interval in hours (absent:
  // blockexpire for everyone), clamped to blockexpire_min .. blockexpire_max.
  OptionalText blockexpire_attribute;
  int blockexpire_min = 0;
  int blockexpire_max = 0;
  // orveltd only. Where it listens: "unix:PATH" or "inet:HOST:PORT" (an
  // IPv6 host in brackets), kept as written and checked at start; the
  // permission bits of its unix socket (octal, 0777 at most); the
  // transactions it serves at once, 1 to 256; and the seconds a client may
  // stay idle between commands and take for one DATA section, 1 to 86400.
  std::string lmtp_listen;
  int lmtp_socket_mode = 0;
  int lmtp_workers = 0;
  int lmtp_timeout = 0;
  int lmtp_data_timeout = 0;
  // orveltd only: the connections one remote address may hold open on a
  // TCP listener (0: no limit); unix sockets are never limited.
  int lmtp_peer_limit = 0;
  // orvelt-web only. Where it listens ("HOST:PORT", an IPv6 host in
  // brackets), kept as written and checked at start; the account that finds
  // a person's entry and writes the vacation attributes (absent: anonymous);
  // the filter that finds the entry of a login ("$login" stands for it);
  // whether the session cookie is marked Secure; the minutes a session may
  // stay idle, 1 to 1440; and the addresses of the reverse proxies whose
  // X-Forwarded-For is believed.
  std::string web_listen;
  OptionalText web_binddn;
  OptionalText web_bindpw;
  std::string web_login_filter;
  bool web_secure_cookies = false;
  int web_session_idle = 0;
  StringList web_trusted_proxies;
  // orvelt-web only: the seconds one request may take, header and body
  // together, 1 to 3600; the connections one remote address may hold open
  // (0: no limit; never for web_trusted_proxies); failed logins a minute
  // per login and per client address.
  int web_request_timeout = 0;
  int web_peer_limit = 0;
  int web_login_limit = 0;
  int web_client_limit = 0;
};

// The configuration record of the calling thread. Each thread has its own,
// which starts out empty (not even the defaults): orvelt, with one thread,
// reads the file into it once; a program with threads passes a record on
// from one thread to the others through config/config_snapshot.h.
extern thread_local Config g_config;

// The configuration file read when no -c option names another.
inline constexpr const char* kDefaultConfigPath = ORVELT_DEFAULT_CONFIG_FILE;

// The blockfiles directory when the file names none.
inline constexpr const char* kDefaultBlockfiles = ORVELT_DEFAULT_BLOCK_DIR;

// The programs that read a directive, a bit each.
enum ConfigReaders : unsigned {
  kReadByOrvelt = 1u << 0,
  kReadByOrveltd = 1u << 1,
  kReadByWeb = 1u << 2,
  kReadByDbTool = 1u << 3,
};

// One directive as the table in config.cc declares it: its name (lower
// case), its default as the file would write it (nullptr: the record's
// empty value: no text, no list, 0, not set), the programs that read it,
// and, for a directive that names a file the programs read, that field.
struct ConfigDirective {
  std::string_view name;
  const char* default_value;
  unsigned readers;
  OptionalText Config::*file;
};

// Every directive, sorted by name.
std::vector<ConfigDirective> config_directives();

// Sets every field of g_config to its default.
void config_set_defaults();

// What a reading of the file found wrong, collected instead of logged (for
// config_check): each complaint with the number of its line (from 1) and
// its text without "WARN/CFG ", the last line that set each directive
// without a complaint, and the line of each noreply_header rule.
struct ConfigProblems {
  struct Line {
    int line;
    std::string text;
  };
  std::vector<Line> lines;
  std::map<std::string_view, int> set_at;
  std::vector<int> noreply_header_lines;
};

// Loads the defaults, then the file at path, then completes the search
// attribute list, into this thread's g_config; none when that was done. The
// file is opened without blocking and its type checked before the first
// read, so a FIFO or a device never holds the caller. A file that cannot be
// opened, or is not a regular file, gives the reason (the system's text, "Is
// a directory" or "not a regular file") and leaves g_config as it was. One
// that fails while it is read (EIO) gives the system's text too, but leaves
// g_config with the defaults and the lines read until then: a caller that
// goes on must not use it. The file's lines are read as config_read_file
// says.
std::optional<std::string> config_read_path(const char* path);

// config_read_path into config rather than g_config; with problems, the
// complaints go there rather than to the log.
std::optional<std::string> config_read_path_into(const char* path, Config& config,
                                                 ConfigProblems* problems);

// Reads the file at path as config_read_path does. A file that cannot be
// read ends the run through log_fatal with "CRIT/IO <path>: <reason>" at
// priority err and the build's default failstatus (kDefaultFatalStatus in
// util/log.h): running on the built-in defaults could bind to another
// directory and answer for the wrong site.
//
// The file is read in lines of at most 2098 bytes and a newline; a longer
// line is dropped whole with "WARN/CFG line too long" at priority warning (a
// NUL byte ends a line's text). Empty lines and lines that start
// with '#' are skipped; every other line is a directive and its value,
// separated by the first run of spaces (the value loses its leading and
// trailing spaces), with the directive's name in any letter case. An
// unknown directive logs "WARN/CFG Unknown config directive: <directive>".
// A directive whose value is text or a list of words takes its value as
// written; a line of it without a value does nothing. Every other directive
// checks its value (an empty one included): yes or no in any letter case, a
// number in decimal digits (octal for a mode) within the directive's bounds,
// one of its words, a charset that iconv converts UTF-8 into, a placeholder
// and an attribute, a header name and a pattern. A value it cannot use logs
// "WARN/CFG <directive>: "<value>" is not <what it must be>" and leaves
// the setting as it was before that line, except that an mtatimeout above
// its bound logs "WARN/CFG mtatimeout above 86400 ignored", and a umask
// without read and write for the owner "WARN/CFG umask <mode, 4 octal
// digits> would make block files the program cannot read; 0600 used" and
// stores 0600. Every complaint is logged at priority warning, whatever
// loglevel says, with the value made log-safe.
void config_read_file(const char* path);

// Loads the defaults, then the directive lines of an open file, then
// completes the search attribute list: config_read_file without the open.
// False when reading failed (errno says why).
bool config_read_stream(FILE* file);
