#include "config/config.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <syslog.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// The longest idle or DATA time orveltd grants a client: a day.
constexpr int kMaxLmtpTimeout = 86400;

// The longest a web session may stay idle, in minutes: a day.
constexpr int kMaxWebSessionIdle = 1440;

// A block file's mode must let its owner, the program, read and write it;
// without that the default is used.
constexpr int kOwnerReadWrite = 0600;
constexpr int kDefaultCreateMode = 0600;

// Reads a number of the directive file in base: leading white space and a
// sign are accepted and reading stops at the first other character (0
// without digits). Values beyond the range of int saturate at INT_MIN or
// INT_MAX.
int parse_number(const std::string& text, int base) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < text.size(); ++i) {
    const int digit = text[i] - '0';
    if (digit < 0 || digit >= base) break;
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * base + digit;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Splits a value into its first word and the rest (absent without a rest).
// Runs of spaces count as one; the rest loses the spaces at either end.
std::pair<OptionalText, OptionalText> split_first_word(const std::string& value) {
  std::string_view text(value);
  const auto trim_spaces = [](std::string_view part) {
    const size_t start = part.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::string_view();
    return part.substr(start, part.find_last_not_of(' ') - start + 1);
  };
  text = trim_spaces(text);
  std::pair<OptionalText, OptionalText> out;
  if (text.empty()) return out;
  const size_t space = text.find(' ');
  out.first.emplace(text.substr(0, space));
  if (space != std::string_view::npos) out.second.emplace(trim_spaces(text.substr(space)));
  return out;
}

int parse_decimal(const std::string& text) { return parse_number(text, 10); }
int parse_octal(const std::string& text) { return parse_number(text, 8); }

void apply_map_field(const std::string& value) {
  auto [placeholder, attribute] = split_first_word(value);
  if (!attribute) return;
  g_config.map_field_attributes.push_back(std::move(*attribute));
  g_config.map_field_placeholders.push_back(std::move(*placeholder));
}

void apply_map_date(const std::string& value) {
  auto [placeholder, attribute] = split_first_word(value);
  if (!attribute) return;
  g_config.map_date_attributes.push_back(std::move(*attribute));
  g_config.map_date_placeholders.push_back(std::move(*placeholder));
}

void apply_noreply_header(const std::string& value) {
  auto [name, pattern] = split_first_word(value);
  if (!pattern) return;
  g_config.noreply_headers.push_back({std::move(*name), std::move(*pattern)});
}

void apply_mta(const std::string& value) {
  auto [program, args] = split_first_word(value);
  if (!program) return;
  g_config.mta = std::move(*program);
  if (args) g_config.mta_args = std::move(*args);
}

void apply_scope(const std::string& value) {
  if (equals_ignore_case(value, "base")) g_config.scope = 0;
  else if (equals_ignore_case(value, "one")) g_config.scope = 1;
  else if (equals_ignore_case(value, "sub")) g_config.scope = 2;
}

// "gdbm" (any letter case) alone is the default store; anything else is the
// list of Redis servers.
void apply_blockstore(const std::string& value) {
  StringList servers = tokenize(value, -1, ' ');
  if (servers.size() == 1 && equals_ignore_case(servers[0], "gdbm")) servers.clear();
  g_config.blockstore = std::move(servers);
}

// yes or no, any letter case; anything else leaves the setting.
void apply_yes_no(bool& field, const std::string& value) {
  if (equals_ignore_case(value, "yes")) field = true;
  else if (equals_ignore_case(value, "no")) field = false;
}

void apply_tls(const std::string& value) {
  if (equals_ignore_case(value, "none")) g_config.tls = DirectoryTls::kNone;
  else if (equals_ignore_case(value, "starttls")) g_config.tls = DirectoryTls::kStartTls;
  else if (equals_ignore_case(value, "ldaps")) g_config.tls = DirectoryTls::kLdaps;
}

// A setting that takes a number in [low, high]; others leave it as it was.
void apply_bounded(int& field, const std::string& value, int low, int high) {
  const int number = parse_decimal(value);
  if (number >= low && number <= high) field = number;
}

void apply_mtatimeout(const std::string& value) {
  const int seconds = parse_decimal(value);
  if (seconds > kMaxMtaTimeout) {
    log_message(LOG_WARNING, "WARN/CFG mtatimeout above 86400 ignored");
    return;
  }
  if (seconds >= 1) g_config.mtatimeout = seconds;
}

// The permission bits of a new block file. Only permission bits: a block
// file must never be set-id or sticky. A mode without read and write for
// the owner would create a file that the next run cannot open: refused.
void apply_create_mode(const std::string& value) {
  const int mode = parse_octal(value) & 0777;
  if ((mode & kOwnerReadWrite) != kOwnerReadWrite) {
    log_message(LOG_WARNING,
                "WARN/CFG umask %04o would make block files the program cannot read; 0600 used",
                static_cast<unsigned>(mode));
    g_config.create_mode = kDefaultCreateMode;
    return;
  }
  g_config.create_mode = mode;
}

void apply_protocol(const std::string& value) {
  const int version = parse_decimal(value);
  if (version == 2 || version == 3) g_config.protocol = version;
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

// A directive's name, as the directive file gives it.
class DirectiveName {
 public:
  explicit DirectiveName(std::string_view name) : name_(name) {}
  // The length first, here where the compiler knows each name's: most of
  // the directives a line is compared with fail on it, without a call.
  bool is(std::string_view name) const {
    return name_.size() == name.size() && equals_ignore_case(name_, name);
  }

 private:
  std::string_view name_;
};

// The directory: where it is, how to search it, what to read from an entry.
bool apply_directory_directive(const DirectiveName& d, std::string& v) {
  if (d.is("server")) g_config.server = std::move(v);
  else if (d.is("port")) g_config.port = parse_decimal(v);
  else if (d.is("base")) g_config.base = std::move(v);
  else if (d.is("protocol")) apply_protocol(v);
  else if (d.is("login")) g_config.login = std::move(v);
  else if (d.is("password")) g_config.password = std::move(v);
  else if (d.is("scope")) apply_scope(v);
  else if (d.is("queryfilter")) g_config.queryfilter = std::move(v);
  else if (d.is("result")) g_config.result = std::move(v);
  else if (d.is("tls")) apply_tls(v);
  else if (d.is("tls_cacert")) g_config.tls_cacert = std::move(v);
  else if (d.is("ldap_idle")) apply_bounded(g_config.ldap_idle, v, 0, 86400);
  else if (d.is("internal_result")) g_config.internal_result = std::move(v);
  else if (d.is("map_field")) apply_map_field(v);
  else if (d.is("map_date")) apply_map_date(v);
  else if (d.is("alias_attributes")) g_config.alias_attributes = tokenize(v, -1, ' ');
  else if (d.is("blockexpire_attribute")) g_config.blockexpire_attribute = std::move(v);
  else return false;
  return true;
}

// Suppressing repeats: the block files or servers and how long a record
// counts.
bool apply_store_directive(const DirectiveName& d, std::string& v) {
  if (d.is("blockfiles")) g_config.blockfiles = std::move(v);
  else if (d.is("blockexpire")) g_config.blockexpire = parse_decimal(v);
  else if (d.is("umask")) apply_create_mode(v);
  else if (d.is("blockstore")) apply_blockstore(v);
  else if (d.is("blockstore_password")) g_config.blockstore_password = std::move(v);
  else if (d.is("blockstore_prefix")) g_config.blockstore_prefix = std::move(v);
  else if (d.is("track_text")) apply_yes_no(g_config.track_text, v);
  else if (d.is("blockexpire_min")) g_config.blockexpire_min = parse_decimal(v);
  else if (d.is("blockexpire_max")) g_config.blockexpire_max = parse_decimal(v);
  else return false;
  return true;
}

// Reading the message and deciding whether it is answered.
bool apply_message_directive(const DirectiveName& d, std::string& v) {
  if (d.is("badheaders")) g_config.badheaders = std::move(v);
  else if (d.is("blacklist")) g_config.blacklist = std::move(v);
  else if (d.is("recvheader")) g_config.recvheader = tokenize(v, -1, ' ');
  else if (d.is("maxreceivers")) g_config.maxreceivers = parse_decimal(v);
  else if (d.is("maxheader")) {
    // The directive counts two lines more than it says; the sum saturates.
    const int n = parse_decimal(v);
    g_config.maxheader = n > INT_MAX - 2 ? INT_MAX : n + 2;
  } else if (d.is("rfc3834")) apply_yes_no(g_config.rfc3834, v);
  else if (d.is("recipient_delimiter")) g_config.recipient_delimiter = std::move(v);
  else if (d.is("personal")) apply_yes_no(g_config.personal, v);
  else if (d.is("noreply_header")) apply_noreply_header(v);
  else return false;
  return true;
}

// The reply: its frame, its placeholders, its charset and the MTA.
bool apply_reply_directive(const DirectiveName& d, std::string& v) {
  if (d.is("mta")) apply_mta(v);
  else if (d.is("mtatimeout")) apply_mtatimeout(v);
  else if (d.is("mta_env")) g_config.mta_env = tokenize(v, -1, ' ');
  else if (d.is("forceheader")) g_config.forceheader = std::move(v);
  else if (d.is("forcefooter")) g_config.forcefooter = std::move(v);
  else if (d.is("charset")) g_config.charset = std::move(v);
  else if (d.is("map_sender")) g_config.map_sender = std::move(v);
  else if (d.is("map_receiver")) g_config.map_receiver = std::move(v);
  else if (d.is("map_subject")) g_config.map_subject = std::move(v);
  else if (d.is("map_messageid")) g_config.map_messageid = std::move(v);
  else if (d.is("map_now")) g_config.map_now = std::move(v);
  else if (d.is("map_references")) g_config.map_references = std::move(v);
  else if (d.is("map_subject_text")) g_config.map_subject_text = std::move(v);
  else if (d.is("dateformat")) g_config.dateformat = std::move(v);
  else if (d.is("internal_domains")) g_config.internal_domains = tokenize(v, -1, ' ');
  else return false;
  return true;
}

// orveltd, the LMTP server: where it listens and how much it takes on.
// Out-of-range numbers leave the setting as it was.
bool apply_lmtp_directive(const DirectiveName& d, std::string& v) {
  if (d.is("lmtp_listen")) g_config.lmtp_listen = std::move(v);
  else if (d.is("lmtp_socket_mode")) g_config.lmtp_socket_mode = parse_octal(v) & 0777;
  else if (d.is("lmtp_workers")) apply_bounded(g_config.lmtp_workers, v, 1, 256);
  else if (d.is("lmtp_timeout")) apply_bounded(g_config.lmtp_timeout, v, 1, kMaxLmtpTimeout);
  else if (d.is("lmtp_data_timeout")) {
    apply_bounded(g_config.lmtp_data_timeout, v, 1, kMaxLmtpTimeout);
  } else if (d.is("lmtp_peer_limit")) apply_bounded(g_config.lmtp_peer_limit, v, 0, 1000000);
  else return false;
  return true;
}

// orvelt-web, the page where people set their own out-of-office.
bool apply_web_directive(const DirectiveName& d, std::string& v) {
  if (d.is("web_listen")) g_config.web_listen = std::move(v);
  else if (d.is("web_binddn")) g_config.web_binddn = std::move(v);
  else if (d.is("web_bindpw")) g_config.web_bindpw = std::move(v);
  else if (d.is("web_login_filter")) g_config.web_login_filter = std::move(v);
  else if (d.is("web_secure_cookies")) apply_yes_no(g_config.web_secure_cookies, v);
  else if (d.is("web_session_idle")) {
    apply_bounded(g_config.web_session_idle, v, 1, kMaxWebSessionIdle);
  } else if (d.is("web_trusted_proxies")) g_config.web_trusted_proxies = tokenize(v, -1, ' ');
  else if (d.is("web_request_timeout")) apply_bounded(g_config.web_request_timeout, v, 1, 3600);
  else if (d.is("web_peer_limit")) apply_bounded(g_config.web_peer_limit, v, 0, 1000000);
  else if (d.is("web_login_limit")) apply_bounded(g_config.web_login_limit, v, 1, 1000000);
  else if (d.is("web_client_limit")) apply_bounded(g_config.web_client_limit, v, 1, 1000000);
  else return false;
  return true;
}

// Applies one directive: its name and its value. Nothing happens when
// either is empty. Unknown directives are logged and ignored.
void apply_directive(std::string_view name, std::string value) {
  if (name.empty() || value.empty()) return;
  const DirectiveName d(name);
  std::string& v = value;
  if (apply_directory_directive(d, v) || apply_store_directive(d, v) ||
      apply_message_directive(d, v) || apply_reply_directive(d, v) || apply_lmtp_directive(d, v) ||
      apply_web_directive(d, v)) {
    return;
  }
  if (d.is("loglevel")) g_config.loglevel = parse_decimal(v);
  else if (d.is("failstatus")) apply_bounded(g_config.failstatus, v, 1, 255);
  else log_message(LOG_WARNING, "WARN/CFG Unknown config directive: %s", log_safe(name).c_str());
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

}  // namespace

void config_set_defaults() {
  g_config = Config{};
  g_config.base = "";
  g_config.server = "localhost";
  g_config.queryfilter = "(&(mail=$recepient)(vacationActive=TRUE))";
  g_config.result = "vacationInfo";
  g_config.scope = 2;
  g_config.port = 389;
  g_config.protocol = 0;
  g_config.blockfiles = kDefaultBlockfiles;
  g_config.mta = "/usr/sbin/sendmail";
  g_config.mta_args = "";
  g_config.map_sender = "$sender";
  g_config.map_receiver = "$recepient";
  g_config.recvheader = {"to", "cc"};
  g_config.map_subject = "$subject";
  g_config.blockexpire = 48;
  g_config.maxreceivers = 256;
  g_config.maxheader = 256;
  g_config.create_mode = kDefaultCreateMode;
  g_config.loglevel = 0;
  g_config.rfc3834 = false;
  g_config.tls = DirectoryTls::kNone;
  g_config.tls_cacert.reset();
  g_config.failstatus = kDefaultFatalStatus;
  g_config.mtatimeout = 120;
  g_config.recipient_delimiter = "";
  g_config.map_messageid = "$messageid";
  g_config.map_now = "$now";
  g_config.dateformat = "%Y-%m-%d";
  g_config.blockstore.clear();
  g_config.blockstore_password.reset();
  g_config.blockstore_prefix = "orvelt:";
  g_config.personal = false;
  g_config.alias_attributes.clear();
  g_config.noreply_headers.clear();
  g_config.map_references = "$references";
  g_config.map_subject_text = "$subjecttext";
  g_config.track_text = false;
  g_config.blockexpire_attribute.reset();
  g_config.blockexpire_min = 1;
  g_config.blockexpire_max = 1440;
  g_config.lmtp_listen = "unix:/run/orvelt/lmtp";
  g_config.lmtp_socket_mode = 0660;
  g_config.lmtp_workers = 8;
  g_config.lmtp_timeout = 300;
  g_config.lmtp_data_timeout = 600;
  g_config.web_listen = "127.0.0.1:8080";
  g_config.web_binddn.reset();
  g_config.web_bindpw.reset();
  g_config.web_login_filter = "(mail=$login)";
  g_config.web_secure_cookies = true;
  g_config.web_session_idle = 30;
  g_config.web_trusted_proxies = {"127.0.0.1", "::1"};
  g_config.web_request_timeout = 20;
  g_config.web_peer_limit = 16;
  g_config.web_login_limit = 5;
  g_config.web_client_limit = 50;
  g_config.lmtp_peer_limit = 64;
  g_config.ldap_idle = 60;
  g_config.mta_env.clear();
}

std::optional<std::string> config_read_path(const char* path) {
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
  const OwnedFile file(fdopen(fd.get(), "r"));
  if (!file) return std::strerror(errno);
  fd.release();  // the stream closes it now
  if (!config_read_stream(file.get())) return std::strerror(errno);
  return std::nullopt;
}

void config_read_file(const char* path) {
  if (const std::optional<std::string> reason = config_read_path(path)) {
    log_fatal(LOG_ERR, "CRIT/IO %s: %s", path, reason->c_str());
  }
}

bool config_read_stream(FILE* file) {
  config_set_defaults();
  char buffer[kConfigLineBuffer] = {};  // see line_complete
  // Set while the rest of a line longer than the buffer is skipped: none of
  // it may become a directive (the tail of a long comment, say).
  bool skipping = false;
  while (fgets(buffer, sizeof buffer, file) != nullptr) {
    const bool was_skipping = std::exchange(skipping, !line_complete(buffer, sizeof buffer, file));
    if (was_skipping) continue;
    if (skipping) {
      log_message(LOG_WARNING, "WARN/CFG line too long");
      continue;
    }
    if (buffer[0] == '\n' || buffer[0] == '#') continue;
    std::string_view line(buffer);  // a NUL byte ends the line's text
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    const auto [name, value] = split_directive_line(line);
    apply_directive(name, std::string(value));
  }
  const bool read_whole = ferror(file) == 0;
  const int read_error = errno;  // the failed read's, for the caller
  g_config.map_field_attributes.push_back(g_config.result);
  errno = read_error;
  return read_whole;
}
