// The configuration record, its defaults and the directive file.
#pragma once

#include <cstdio>

#include "util/strings.h"

enum class DirectoryTls { kNone, kStartTls, kLdaps };

// Every setting of the program. Filled once by config_read_file and only read
// afterwards.
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
  int umask = 0;
  int loglevel = 0;
  // Decline automatic, list and bulk mail by header name and robot senders.
  bool rfc3834 = false;
  // How the directory connection is encrypted, and which CAs it trusts
  // (absent: the client library's own configuration).
  DirectoryTls tls = DirectoryTls::kNone;
  OptionalText tls_cacert;
  // Exit status of every fatal stop once the file is read (1 to 255).
  int failstatus = 0;
  // Seconds the MTA may take to accept a reply before it is killed.
  int mtatimeout = 0;
};

// The process-wide configuration record.
extern Config g_config;

// The configuration file read when no -c option names another.
inline constexpr const char* kDefaultConfigPath = "/usr/local/etc/orvelt.cfg";

// Sets every field of g_config to its default.
void config_set_defaults();

// Applies one directive line. Nothing happens when either part is absent.
// Unknown directives are logged and ignored.
void config_apply_directive(const OptionalText& directive, OptionalText value);

// Loads the defaults, then the file at path, then completes the search
// attribute list. A file that cannot be opened or read, or is not a regular
// file, logs "CRIT/IO <path>: <reason>" and exits 1: running on the built-in
// defaults could bind to another directory and answer for the wrong site.
void config_read_file(const char* path);

// Loads the defaults, then the directive lines of an open file, then
// completes the search attribute list: config_read_file without the open.
// A line longer than the read buffer (2099 bytes with its newline) is
// dropped whole with "WARN/CFG line too long". False when reading failed
// (errno says why).
bool config_read_stream(FILE* file);

// Number readers of the directive file. Leading white space and a sign are
// accepted and reading stops at the first other character (0 without
// digits). Values beyond the range of int saturate at INT_MIN or INT_MAX.
int config_parse_decimal(const std::string& text);
int config_parse_octal(const std::string& text);
