#include "config/config.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <syslog.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "mail/charset.h"
#include "util/c_owners.h"
#include "util/log.h"
#include "util/unique_fd.h"

thread_local Config g_config;

namespace {

// The directive file is read in pieces of at most this many bytes less one:
// a longer line arrives as several lines.
constexpr int kConfigLineBuffer = 2100;

// The longest time the MTA may be given for one reply: a day. Far beyond any
// real hand-off, and small enough that its milliseconds fit a poll timeout.
constexpr int kMaxMtaTimeout = 86400;

// The longest idle or DATA time orveltd grants a client, and the longest a
// kept directory session may lie unused: a day.
constexpr int kDay = 86400;

// The longest a web session may stay idle, in minutes: a day.
constexpr int kMaxWebSessionIdle = 1440;

// Hours between two replies (about 114 years), and the counts that have no
// natural limit (receivers, header lines, connections, failed logins): far
// beyond any real setting, far below the range of int.
constexpr int kMaxHours = 1000000;
constexpr int kMaxCount = 1000000;

// A block file's mode must let its owner, the program, read and write it;
// without that the default is used.
constexpr int kOwnerReadWrite = 0600;
constexpr int kDefaultCreateMode = 0600;

// How a directive's value is read, and where it goes.
enum class Kind : unsigned char {
  kText,             // std::string, as written
  kOptionalText,     // OptionalText, as written
  kFile,             // OptionalText: a file the programs read (checked by -t)
  kWords,            // StringList, split at blanks; a line replaces the list
  kBlockstore,       // StringList of Redis servers; "gdbm" alone: none
  kYesNo,            // bool: yes or no, any letter case
  kNumber,           // int: decimal digits, from low to high
  kMtaTimeout,       // kNumber, a value above high refused in words of its own
  kMaxheader,        // kNumber, stored two higher
  kMode,             // int: octal digits, from low to high; the permission bits kept
  kUmask,            // kMode, owner read and write required
  kScope,            // int: base, one or sub
  kTls,              // DirectoryTls: none, starttls or ldaps
  kCharset,          // OptionalText: a charset iconv converts UTF-8 into
  kMta,              // the program, and its arguments when the line has any
  kPlaceholderPair,  // two StringLists: placeholder and attribute, appended
  kNoreplyHeader,    // a header name and a pattern, appended
};

// Where a directive's value is stored in the record.
enum class Shape : unsigned char { kNone, kText, kOptional, kList, kFlag, kInt, kTls, kPair };

// The member of the record a directive sets: the one its row's shape names.
union Field {
  std::nullptr_t none;
  std::string Config::*text;
  OptionalText Config::*optional;
  StringList Config::*list;
  bool Config::*flag;
  int Config::*number;
  DirectoryTls Config::*tls;
  struct {
    StringList Config::*placeholders;
    StringList Config::*attributes;
  } pair;
};

// One directive: its name (lower case), how its value is read, which
// programs read it (ConfigReaders), its default as a value of the file
// (nullptr: the record's empty value), the bounds of a number, and where
// the value goes.
struct Directive {
  std::string_view name;
  Kind kind;
  unsigned readers;
  const char* fallback;
  Shape shape;
  Field field;
  int low = 0;
  int high = 0;
};

// A row of the table; the overload for the field's type records its shape,
// which table_is_sound compares with the kind.
constexpr Directive row(std::string_view name, Kind kind, unsigned readers, const char* fallback,
                        std::string Config::*field) {
  return {name, kind, readers, fallback, Shape::kText, {.text = field}};
}
constexpr Directive row(std::string_view name, Kind kind, unsigned readers, const char* fallback,
                        OptionalText Config::*field) {
  return {name, kind, readers, fallback, Shape::kOptional, {.optional = field}};
}
constexpr Directive row(std::string_view name, Kind kind, unsigned readers, const char* fallback,
                        StringList Config::*field) {
  return {name, kind, readers, fallback, Shape::kList, {.list = field}};
}
constexpr Directive row(std::string_view name, Kind kind, unsigned readers, const char* fallback,
                        bool Config::*field) {
  return {name, kind, readers, fallback, Shape::kFlag, {.flag = field}};
}
constexpr Directive row(std::string_view name, Kind kind, unsigned readers, const char* fallback,
                        int Config::*field, int low = 0, int high = 0) {
  return {name, kind, readers, fallback, Shape::kInt, {.number = field}, low, high};
}
constexpr Directive row(std::string_view name, Kind kind, unsigned readers, const char* fallback,
                        DirectoryTls Config::*field) {
  return {name, kind, readers, fallback, Shape::kTls, {.tls = field}};
}
constexpr Directive row(std::string_view name, Kind kind, unsigned readers, const char* fallback,
                        StringList Config::*placeholders, StringList Config::*attributes) {
  return {name, kind, readers, fallback, Shape::kPair, {.pair = {placeholders, attributes}}};
}
constexpr Directive row(std::string_view name, Kind kind, unsigned readers, const char* fallback) {
  return {name, kind, readers, fallback, Shape::kNone, {.none = nullptr}};
}

// Who reads what: the programs that answer mail, the directory and reply
// settings that orvelt-web's page shares with them, and the block store
// that orvelt-db works on too.
constexpr unsigned kAnswer = kReadByOrvelt | kReadByOrveltd;
constexpr unsigned kShared = kAnswer | kReadByWeb;
constexpr unsigned kStore = kShared | kReadByDbTool;

// The build's default failstatus as a value of the file.
#define ORVELT_TEXT_OF(x) #x
#define ORVELT_TEXT(x) ORVELT_TEXT_OF(x)
constexpr const char* kDefaultFailstatusText = ORVELT_TEXT(ORVELT_DEFAULT_FAILSTATUS);
#undef ORVELT_TEXT
#undef ORVELT_TEXT_OF

using enum Kind;

// Every directive, sorted by name (a lookup is a binary search). The reader,
// the defaults (config_set_defaults), the bounds and tests/docs/check-docs-sync
// all work from this table: a row per directive, its name first.
constexpr Directive kDirectives[] = {
    row("alias_attributes", kWords, kShared, nullptr, &Config::alias_attributes),
    row("badheaders", kFile, kAnswer, nullptr, &Config::badheaders),
    row("base", kText, kShared, nullptr, &Config::base),
    row("blacklist", kFile, kAnswer, nullptr, &Config::blacklist),
    row("blockexpire", kNumber, kStore, "48", &Config::blockexpire, 0, kMaxHours),
    row("blockexpire_attribute", kOptionalText, kShared, nullptr, &Config::blockexpire_attribute),
    row("blockexpire_max", kNumber, kShared, "1440", &Config::blockexpire_max, 0, kMaxHours),
    row("blockexpire_min", kNumber, kShared, "1", &Config::blockexpire_min, 0, kMaxHours),
    row("blockfiles", kText, kStore, kDefaultBlockfiles, &Config::blockfiles),
    row("blockstore", kBlockstore, kStore, "gdbm", &Config::blockstore),
    row("blockstore_password", kOptionalText, kStore, nullptr, &Config::blockstore_password),
    row("blockstore_prefix", kText, kStore, "orvelt:", &Config::blockstore_prefix),
    row("charset", kCharset, kShared, nullptr, &Config::charset),
    row("dateformat", kText, kShared, "%Y-%m-%d", &Config::dateformat),
    row("failstatus", kNumber, kShared, kDefaultFailstatusText, &Config::failstatus, 1, 255),
    row("forcefooter", kFile, kShared, nullptr, &Config::forcefooter),
    row("forceheader", kFile, kShared, nullptr, &Config::forceheader),
    row("internal_domains", kWords, kShared, nullptr, &Config::internal_domains),
    row("internal_result", kOptionalText, kShared, nullptr, &Config::internal_result),
    row("ldap_idle", kNumber, kReadByOrveltd | kReadByWeb, "60", &Config::ldap_idle, 0, kDay),
    row("lmtp_data_timeout", kNumber, kReadByOrveltd, "600", &Config::lmtp_data_timeout, 1, kDay),
    row("lmtp_listen", kText, kReadByOrveltd, "unix:/run/orvelt/lmtp", &Config::lmtp_listen),
    row("lmtp_peer_limit", kNumber, kReadByOrveltd, "64", &Config::lmtp_peer_limit, 0, kMaxCount),
    row("lmtp_socket_mode", kMode, kReadByOrveltd, "0660", &Config::lmtp_socket_mode, 0, 07777),
    row("lmtp_timeout", kNumber, kReadByOrveltd, "300", &Config::lmtp_timeout, 1, kDay),
    row("lmtp_workers", kNumber, kReadByOrveltd, "8", &Config::lmtp_workers, 1, 256),
    row("login", kOptionalText, kShared, nullptr, &Config::login),
    row("loglevel", kNumber, kShared, "0", &Config::loglevel, 0, 3),
    row("map_date", kPlaceholderPair, kShared, nullptr, &Config::map_date_placeholders,
        &Config::map_date_attributes),
    row("map_field", kPlaceholderPair, kShared, nullptr, &Config::map_field_placeholders,
        &Config::map_field_attributes),
    row("map_messageid", kText, kShared, "$messageid", &Config::map_messageid),
    row("map_now", kText, kShared, "$now", &Config::map_now),
    row("map_receiver", kText, kShared, "$recepient", &Config::map_receiver),
    row("map_references", kText, kShared, "$references", &Config::map_references),
    row("map_sender", kText, kShared, "$sender", &Config::map_sender),
    row("map_subject", kText, kShared, "$subject", &Config::map_subject),
    row("map_subject_text", kText, kShared, "$subjecttext", &Config::map_subject_text),
    row("maxheader", kMaxheader, kAnswer, "254", &Config::maxheader, 0, kMaxCount),
    row("maxreceivers", kNumber, kAnswer, "256", &Config::maxreceivers, 0, kMaxCount),
    row("mta", kMta, kAnswer, "/usr/sbin/sendmail"),
    row("mta_env", kWords, kAnswer, nullptr, &Config::mta_env),
    row("mtatimeout", kMtaTimeout, kAnswer, "120", &Config::mtatimeout, 1, kMaxMtaTimeout),
    row("noreply_header", kNoreplyHeader, kAnswer, nullptr),
    row("password", kOptionalText, kShared, nullptr, &Config::password),
    row("personal", kYesNo, kShared, "no", &Config::personal),
    row("port", kNumber, kShared, "389", &Config::port, 1, 65535),
    row("protocol", kNumber, kShared, nullptr, &Config::protocol, 2, 3),
    row("queryfilter", kText, kShared, "(&(mail=$recepient)(vacationActive=TRUE))",
        &Config::queryfilter),
    row("recipient_delimiter", kText, kShared, nullptr, &Config::recipient_delimiter),
    row("recvheader", kWords, kAnswer, "to cc", &Config::recvheader),
    row("result", kText, kShared, "vacationInfo", &Config::result),
    row("rfc3834", kYesNo, kAnswer, "no", &Config::rfc3834),
    row("scope", kScope, kShared, "sub", &Config::scope),
    row("server", kText, kShared, "localhost", &Config::server),
    row("tls", kTls, kShared, "none", &Config::tls),
    row("tls_cacert", kFile, kShared, nullptr, &Config::tls_cacert),
    row("track_text", kYesNo, kAnswer, "no", &Config::track_text),
    row("umask", kUmask, kStore, "0600", &Config::create_mode, 0, 07777),
    row("web_binddn", kOptionalText, kReadByWeb, nullptr, &Config::web_binddn),
    row("web_bindpw", kOptionalText, kReadByWeb, nullptr, &Config::web_bindpw),
    row("web_client_limit", kNumber, kReadByWeb, "50", &Config::web_client_limit, 1, kMaxCount),
    row("web_listen", kText, kReadByWeb, "127.0.0.1:8080", &Config::web_listen),
    row("web_login_filter", kText, kReadByWeb, "(mail=$login)", &Config::web_login_filter),
    row("web_login_limit", kNumber, kReadByWeb, "5", &Config::web_login_limit, 1, kMaxCount),
    row("web_peer_limit", kNumber, kReadByWeb, "16", &Config::web_peer_limit, 0, kMaxCount),
    row("web_request_timeout", kNumber, kReadByWeb, "20", &Config::web_request_timeout, 1, 3600),
    row("web_secure_cookies", kYesNo, kReadByWeb, "yes", &Config::web_secure_cookies),
    row("web_session_idle", kNumber, kReadByWeb, "30", &Config::web_session_idle, 1,
        kMaxWebSessionIdle),
    row("web_trusted_proxies", kWords, kReadByWeb, "127.0.0.1 ::1", &Config::web_trusted_proxies),
};

// The shape each kind stores into: a table with a row whose field does not
// fit its kind does not compile (see the static_assert below).
constexpr Shape shape_of(Kind kind) {
  switch (kind) {
    case kText:
      return Shape::kText;
    case kOptionalText:
    case kFile:
    case kCharset:
      return Shape::kOptional;
    case kWords:
    case kBlockstore:
      return Shape::kList;
    case kYesNo:
      return Shape::kFlag;
    case kNumber:
    case kMtaTimeout:
    case kMaxheader:
    case kMode:
    case kUmask:
    case kScope:
      return Shape::kInt;
    case kTls:
      return Shape::kTls;
    case kPlaceholderPair:
      return Shape::kPair;
    case kMta:
    case kNoreplyHeader:
      return Shape::kNone;
  }
  return Shape::kNone;
}

constexpr size_t kLongestName = [] {
  size_t longest = 0;
  for (const Directive& d : kDirectives) longest = std::max(longest, d.name.size());
  return longest;
}();

constexpr bool table_is_sound() {
  for (size_t i = 0; i < std::size(kDirectives); ++i) {
    const Directive& d = kDirectives[i];
    if (d.shape != shape_of(d.kind)) return false;
    for (const char c : d.name) {
      if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    if (i > 0 && !(kDirectives[i - 1].name < d.name)) return false;
  }
  return true;
}
static_assert(table_is_sound(), "kDirectives: names sorted, lower case, each field fits its kind");

// The row of a directive named in any letter case; none for an unknown one.
// A busy server reads the file for every message: one fold into a buffer
// on the stack and a binary search.
const Directive* find_directive(std::string_view name) {
  if (name.size() > kLongestName) return nullptr;
  char folded[kLongestName];
  for (size_t i = 0; i < name.size(); ++i) folded[i] = ascii_lower(name[i]);
  const std::string_view key(folded, name.size());
  const auto* const end = std::end(kDirectives);
  const auto* found =
      std::lower_bound(std::begin(kDirectives), end, key,
                       [](const Directive& d, std::string_view wanted) { return d.name < wanted; });
  return found != end && found->name == key ? found : nullptr;
}

// Where the reader's complaints go: the log (a program reading its
// configuration), or, for config_check, the list of problems.
// Each complaint is written as its whole log line, "WARN/CFG " included,
// so that the manual's list of messages can be checked against the source.
struct Complaints {
  ConfigProblems* problems = nullptr;
  int line = 0;  // the line being read, from 1

  void say(const char* format, ...) const __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(size > 0 ? size : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    if (problems == nullptr) {
      log_message(LOG_WARNING, "%s", text.c_str());
      return;
    }
    constexpr std::string_view kPrefix = "WARN/CFG ";
    if (text.starts_with(kPrefix)) text.erase(0, kPrefix.size());
    problems->lines.push_back({line, std::move(text)});
  }
  // A value the directive cannot use.
  void bad_value(const Directive& d, std::string_view value, const std::string& what) const {
    say("WARN/CFG %s: \"%s\" is not %s", std::string(d.name).c_str(), log_safe(value).c_str(),
        what.c_str());
  }
};

// A number written in digits only, with a leading '-' for a negative one;
// none for anything else (a '+', blanks, trailing text, no digits). Values
// beyond the range of int come back as one beyond it in their direction,
// which no bound takes.
std::optional<long long> read_number(std::string_view text, int base) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  long long value = 0;
  for (const char c : text) {
    const int digit = c - '0';
    if (digit < 0 || digit >= base) return std::nullopt;
    if (value <= INT_MAX) value = value * base + digit;
  }
  return negative ? -value : value;
}

std::string number_range(int low, int high) {
  if (high == low + 1) return std::to_string(low) + " or " + std::to_string(high);
  return "a number from " + std::to_string(low) + " to " + std::to_string(high);
}

std::string mode_range(int low, int high) {
  char text[64];
  snprintf(text, sizeof text, "an octal mode from %04o to %04o", static_cast<unsigned>(low),
           static_cast<unsigned>(high));
  return text;
}

// Splits a value into its first word and the rest (absent without a rest).
// Runs of spaces count as one; the rest loses the spaces at either end.
std::pair<std::string_view, std::optional<std::string_view>> split_first_word(
    std::string_view text) {
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return {text, std::nullopt};
  std::string_view rest = text.substr(space);
  rest.remove_prefix(rest.find_first_not_of(' '));  // the value ends in no space
  return {text.substr(0, space), rest};
}

// The permission bits of a new block file. Only permission bits: a block
// file must never be set-id or sticky. A mode without read and write for
// the owner would create a file that the next run cannot open: refused,
// and 0600 used.
void apply_create_mode(int& field, int written, const Complaints& complaints) {
  const int mode = written & 0777;
  if ((mode & kOwnerReadWrite) != kOwnerReadWrite) {
    complaints.say("WARN/CFG umask %04o would make block files the program cannot read; 0600 used",
                   static_cast<unsigned>(mode));
    field = kDefaultCreateMode;
    return;
  }
  field = mode;
}

// A number or mode directive: the value in its bounds, or a complaint and
// the setting left as it was.
void apply_number(Config& config, const Directive& d, std::string_view value,
                  const Complaints& complaints) {
  const bool octal = d.kind == kMode || d.kind == kUmask;
  const std::optional<long long> number = read_number(value, octal ? 8 : 10);
  if (number && *number > d.high && d.kind == kMtaTimeout) {
    complaints.say("WARN/CFG mtatimeout above 86400 ignored");
    return;
  }
  if (!number || *number < d.low || *number > d.high) {
    complaints.bad_value(d, value, octal ? mode_range(d.low, d.high) : number_range(d.low, d.high));
    return;
  }
  int& field = config.*d.field.number;
  const int n = static_cast<int>(*number);
  switch (d.kind) {
    case kUmask:
      apply_create_mode(field, n, complaints);
      return;
    case kMode:
      field = n & 0777;  // set-id and sticky bits have no place on a socket
      return;
    case kMaxheader:
      field = n + 2;  // the directive counts two lines more than it says
      return;
    default:
      field = n;
  }
}

// Applies one directive's value to config. An empty value does something
// only where the directive checks its value: there it is a bad one.
void apply_value(Config& config, const Directive& d, std::string_view value,
                 const Complaints& complaints) {
  switch (d.kind) {
    case kText:
      config.*d.field.text = value;
      return;
    case kOptionalText:
    case kFile:
      config.*d.field.optional = std::string(value);
      return;
    case kWords:
      config.*d.field.list = tokenize(value, -1, ' ');
      return;
    case kBlockstore: {
      StringList servers = tokenize(value, -1, ' ');
      if (servers.size() == 1 && equals_ignore_case(servers[0], "gdbm")) servers.clear();
      config.*d.field.list = std::move(servers);
      return;
    }
    case kYesNo:
      if (equals_ignore_case(value, "yes")) config.*d.field.flag = true;
      else if (equals_ignore_case(value, "no")) config.*d.field.flag = false;
      else complaints.bad_value(d, value, "yes or no");
      return;
    case kNumber:
    case kMtaTimeout:
    case kMaxheader:
    case kMode:
    case kUmask:
      apply_number(config, d, value, complaints);
      return;
    case kScope:
      if (equals_ignore_case(value, "base")) config.*d.field.number = 0;
      else if (equals_ignore_case(value, "one")) config.*d.field.number = 1;
      else if (equals_ignore_case(value, "sub")) config.*d.field.number = 2;
      else complaints.bad_value(d, value, "base, one or sub");
      return;
    case kTls:
      if (equals_ignore_case(value, "none")) config.*d.field.tls = DirectoryTls::kNone;
      else if (equals_ignore_case(value, "starttls")) config.*d.field.tls = DirectoryTls::kStartTls;
      else if (equals_ignore_case(value, "ldaps")) config.*d.field.tls = DirectoryTls::kLdaps;
      else complaints.bad_value(d, value, "none, starttls or ldaps");
      return;
    case kCharset: {
      if (!charset_usable(value)) {
        complaints.bad_value(d, value, "a charset iconv converts UTF-8 into");
        return;
      }
      config.*d.field.optional = std::string(value);
      return;
    }
    case kMta: {
      // A later line with the program alone keeps the arguments.
      const auto [program, args] = split_first_word(value);
      if (program.empty()) {
        complaints.bad_value(d, value, "a program");
        return;
      }
      config.mta = program;
      if (args) config.mta_args = *args;
      return;
    }
    case kPlaceholderPair: {
      const auto [placeholder, attribute] = split_first_word(value);
      if (!attribute) {
        complaints.bad_value(d, value, "a placeholder and an attribute");
        return;
      }
      (config.*d.field.pair.attributes).emplace_back(*attribute);
      (config.*d.field.pair.placeholders).emplace_back(placeholder);
      return;
    }
    case kNoreplyHeader: {
      const auto [name, pattern] = split_first_word(value);
      if (!pattern) {
        complaints.bad_value(d, value, "a header name and a pattern");
        return;
      }
      config.noreply_headers.push_back({std::string(name), std::string(*pattern)});
      return;
    }
  }
}

// Applies one directive line, as apply_value says. True when the line
// changed the record without a complaint; where complaints are logged
// rather than collected, whenever it had a value to apply.
bool apply(Config& config, const Directive& d, std::string_view value,
           const Complaints& complaints) {
  if (value.empty() && (d.shape == Shape::kText || d.shape == Shape::kList ||
                        d.kind == kOptionalText || d.kind == kFile)) {
    return false;
  }
  const size_t said = complaints.problems == nullptr ? 0 : complaints.problems->lines.size();
  apply_value(config, d, value, complaints);
  return complaints.problems == nullptr || complaints.problems->lines.size() == said;
}

// Whether buffer, just filled by fgets, holds a whole line: one that ends in
// a newline, or that the end of the file ends. A NUL byte in the line only
// hides the rest of it from strlen, so the newline is looked for in the
// bytes fgets can have stored. Unless the file ended under fgets, it
// stopped at a newline or with the buffer full, so every byte up to the
// first newline, or the whole buffer, was written by this call. At the end
// of the file the bytes after its NUL are left from earlier lines (the
// caller clears the buffer once, so none is undefined): a newline found
// there, or none, both end in true, as a line at the end of the file is
// whole.
bool line_complete(const char* buffer, size_t size, FILE* file) {
  if (memchr(buffer, '\n', size - 1) != nullptr) return true;
  const int next = getc(file);
  if (next == EOF) return true;
  ungetc(next, file);
  return false;
}

// A directive line's name and value: the first run of non-blanks, and the
// rest without the blanks around it (blanks are spaces only; either may be
// empty). The line is read in place: a busy server reads the file for
// every message.
std::pair<std::string_view, std::string_view> split_directive_line(std::string_view line) {
  const size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  line.remove_prefix(start);
  const size_t name_end = std::min(line.find(' '), line.size());
  std::string_view rest = line.substr(name_end);
  const size_t value_start = rest.find_first_not_of(' ');
  if (value_start == std::string_view::npos) return {line.substr(0, name_end), {}};
  rest.remove_prefix(value_start);
  return {line.substr(0, name_end), rest.substr(0, rest.find_last_not_of(' ') + 1)};
}

// The record of the defaults, made once from the table: every row's
// default read as the file's value would be.
Config make_defaults() {
  Config config;
  const Complaints complaints;
  for (const Directive& d : kDirectives) {
    if (d.fallback != nullptr) apply(config, d, d.fallback, complaints);
  }
  return config;
}

const Config& defaults() {
  static const Config built = make_defaults();
  return built;
}

// Opens the directive file without blocking and checks its type before the
// first read (see config_read_path); the reason when it cannot be read.
std::variant<OwnedFile, std::string> open_config(const char* path) {
  // Opened without blocking: open(2) of a FIFO would otherwise wait for a
  // writer that never comes. The type is checked before anything is read.
  UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || fstat(fd.get(), &status) != 0) return std::strerror(errno);
  // A directory opens, and then reads as an empty file: the run would go on
  // with the defaults.
  if (S_ISDIR(status.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  // Reads of a regular file wait for their data anyway, except where a file
  // system passes the flag on (FUSE) and answers EAGAIN: it is cleared.
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return std::strerror(errno);
  OwnedFile file(fdopen(fd.get(), "r"));
  if (!file) return std::strerror(errno);
  fd.release();  // the stream closes it now
  return file;
}

// Reads the directive lines of file into config, from the defaults on.
bool read_lines(FILE* file, Config& config, ConfigProblems* problems) {
  config = defaults();
  Complaints complaints{problems};
  char buffer[kConfigLineBuffer] = {};  // see line_complete
  // Set while the rest of a line longer than the buffer is skipped: none of
  // it may become a directive (the tail of a long comment, say).
  bool skipping = false;
  while (fgets(buffer, sizeof buffer, file) != nullptr) {
    const bool was_skipping = std::exchange(skipping, !line_complete(buffer, sizeof buffer, file));
    if (was_skipping) continue;
    ++complaints.line;
    if (skipping) {
      complaints.say("WARN/CFG line too long");
      continue;
    }
    if (buffer[0] == '\n' || buffer[0] == '#') continue;
    std::string_view line(buffer);  // a NUL byte ends the line's text
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    const auto [name, value] = split_directive_line(line);
    if (name.empty()) continue;
    const Directive* d = find_directive(name);
    if (d == nullptr) {
      complaints.say("WARN/CFG Unknown config directive: %s", log_safe(name).c_str());
      continue;
    }
    if (apply(config, *d, value, complaints) && problems != nullptr) {
      problems->set_at[d->name] = complaints.line;
      if (d->kind == kNoreplyHeader) problems->noreply_header_lines.push_back(complaints.line);
    }
  }
  const bool read_whole = ferror(file) == 0;
  const int read_error = errno;  // the failed read's, for the caller
  config.map_field_attributes.push_back(config.result);
  errno = read_error;
  return read_whole;
}

}  // namespace

std::vector<ConfigDirective> config_directives() {
  std::vector<ConfigDirective> out;
  for (const Directive& d : kDirectives) {
    out.push_back({d.name, d.fallback, d.readers, d.kind == kFile ? d.field.optional : nullptr});
  }
  return out;
}

void config_set_defaults() { g_config = defaults(); }

std::optional<std::string> config_read_path(const char* path) {
  return config_read_path_into(path, g_config, nullptr);
}

std::optional<std::string> config_read_path_into(const char* path, Config& config,
                                                 ConfigProblems* problems) {
  std::variant<OwnedFile, std::string> opened = open_config(path);
  if (std::string* reason = std::get_if<std::string>(&opened)) return std::move(*reason);
  if (!read_lines(std::get<OwnedFile>(opened).get(), config, problems)) return std::strerror(errno);
  return std::nullopt;
}

void config_read_file(const char* path) {
  if (const std::optional<std::string> reason = config_read_path(path)) {
    log_fatal(LOG_ERR, "CRIT/IO %s: %s", path, reason->c_str());
  }
}

bool config_read_stream(FILE* file) { return read_lines(file, g_config, nullptr); }
