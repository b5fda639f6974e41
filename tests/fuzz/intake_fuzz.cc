// Feeds an arbitrary message through mail intake, with real bad-header and
// blacklist databases, and checks what the reply loop relies on afterwards.
//
// Input layout: two settings bytes, then the message exactly as intake's
// input would carry it. The settings pick small header and receiver limits
// (so that both limits are reached by short inputs), the receiver header
// names, the log level, forced addresses, the rfc3834 directive and the
// recipient delimiter.
#include <fcntl.h>
#include <gdbm.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "config/config.h"
#include "fuzz_support.h"
#include "mail/intake.h"
#include "mail/mail_state.h"
#include "store/store.h"
#include "util/unique_fd.h"

namespace {

// Header lines and receivers the databases hold; the seed corpus uses them.
const char* const kBadHeaders[] = {"Precedence: bulk", "X-Spam: yes", " continued",
                                   "Auto-Submitted: auto-replied\r"};
const char* const kBlacklisted[] = {"bl@x", "postmaster@site", "a b"};

struct Databases {
  std::string dir;
  std::string badheaders;
  std::string blacklist;
};

void write_keys(const std::string& path, const char* const* keys, size_t count) {
  GDBM_FILE db = gdbm_open(path.c_str(), 0, GDBM_NEWDB, 0600, nullptr);
  if (db == nullptr) {
    fprintf(stderr, "intake fuzz: cannot create %s\n", path.c_str());
    abort();
  }
  for (size_t i = 0; i < count; ++i) {
    std::string key = keys[i];
    datum k{key.data(), static_cast<int>(key.size() + 1)};
    char one[] = "1";
    gdbm_store(db, k, datum{one, 1}, GDBM_REPLACE);
  }
  gdbm_close(db);
}

void remove_databases();

// Made once per fuzzing run in a fresh temporary directory, removed at exit.
const Databases& databases() {
  static const Databases made = [] {
    char pattern[] = "/tmp/orvelt-intake-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    Databases d{pattern, std::string(pattern) + "/badheaders", std::string(pattern) + "/blacklist"};
    write_keys(d.badheaders, kBadHeaders, std::size(kBadHeaders));
    write_keys(d.blacklist, kBlacklisted, std::size(kBlacklisted));
    return d;
  }();
  static const bool cleanup = (atexit(remove_databases), true);
  (void)cleanup;
  return made;
}

void remove_databases() {
  const Databases& d = databases();
  unlink(d.badheaders.c_str());
  unlink(d.blacklist.c_str());
  rmdir(d.dir.c_str());
}

// A failed open must not sleep inside the fuzzer: the databases never lock.
void no_pause(unsigned) {}

struct Settings {
  StringList forced_receivers;
  OptionalText forced_sender;
};

// Configures intake from the settings: in the first byte bits 0-1 the
// header limit, bits 2-3 the receiver limit, bit 4 the receiver header
// names, bit 5 the log level, bits 6-7 the forced addresses; in the second
// bit 0 the rfc3834 directive, bit 1 recipient_delimiter "+-".
Settings configure(uint8_t bits, uint8_t more_bits) {
  config_set_defaults();
  g_config.badheaders = databases().badheaders;
  g_config.blacklist = databases().blacklist;
  static constexpr int kMaxHeader[] = {256, 3, 0, -1};
  static constexpr int kMaxReceivers[] = {256, 2, 0, -1};
  g_config.maxheader = kMaxHeader[bits & 3];
  g_config.maxreceivers = kMaxReceivers[(bits >> 2) & 3];
  if (bits & 0x10) g_config.recvheader = {"to", "cc", "from", "x-rcpt"};
  g_config.loglevel = (bits & 0x20) ? 3 : 0;
  g_config.rfc3834 = (more_bits & 1) != 0;
  if (more_bits & 2) g_config.recipient_delimiter = "+-";
  Settings settings;
  if (bits & 0x40) settings.forced_receivers = {"forced@site", "bl@x", "other@site"};
  if (bits & 0x80) settings.forced_sender = "forced-sender@host";
  return settings;
}

// The input for one run: an anonymous file holding the message, read from
// its start.
UniqueFd message_input(const uint8_t* data, size_t size) {
  UniqueFd fd(memfd_create("intake-fuzz", 0));
  FUZZ_CHECK(fd.valid());
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd.get(), data + done, size - done);
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  FUZZ_CHECK(lseek(fd.get(), 0, SEEK_SET) == 0);
  return fd;
}

// An address as intake hands it on: the normalised form, whole on one line.
bool is_normalised(const std::string& address) {
  if (address.empty()) return false;
  for (const char c : address) {
    if (c == '*' || c == '\0' || c == '\n' || (c >= 'A' && c <= 'Z')) return false;
  }
  return true;
}

// A receiver with its address extension cut: no delimiter in its local part
// but in the first place.
bool extension_cut(const std::string& receiver) {
  const size_t at = receiver.rfind('@');
  const std::string local = receiver.substr(0, at);
  const size_t delimiter = local.find_first_of(g_config.recipient_delimiter);
  return delimiter == std::string::npos || delimiter == 0;
}

bool one_line(const std::string& text) {
  return text.find_first_of(std::string("\n\0", 2)) == std::string::npos;
}

// Whether a header line (its text up to a NUL byte, without the newline)
// ends the header: anything but a field ("Name:", blanks allowed before the
// colon) or a continuation (a blank first, then more than blanks and CR).
// The first line may also be an mbox "From " separator, or a continuation.
bool header_ends_at(std::string_view line, bool first) {
  line = line.substr(0, line.find('\0'));
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  size_t name = 0;
  while (name < line.size() && line[name] > ' ' && line[name] < 0x7f && line[name] != ':') ++name;
  size_t colon = name;
  while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
  if (name > 0 && colon < line.size() && line[colon] == ':') return false;
  const bool blank_first = !line.empty() && (line[0] == ' ' || line[0] == '\t');
  if (blank_first && line.find_first_not_of(" \t\r") != std::string_view::npos) return false;
  return !(first && line.substr(0, 5) == "From ");
}

// The header lines that intake counts, worked out on the whole message: a
// line runs up to and including a newline (of a longer one, only the first
// 2098 bytes count, the rest is dropped), and the header ends at the end of
// input, at a line that is no header line (header_ends_at), or once
// maxheader + 1 lines are counted.
long long header_lines(std::string_view message, long long limit) {
  constexpr size_t kLineBytes = 2098;
  long long count = 0;
  size_t pos = 0;
  while (pos < message.size() && count <= limit) {
    const size_t newline = message.find('\n', pos);
    const size_t end = newline == std::string_view::npos ? message.size() : newline + 1;
    const std::string_view line = message.substr(pos, std::min(end - pos, kLineBytes));
    if (header_ends_at(line, pos == 0)) break;
    ++count;
    pos = end;
  }
  return count;
}

void check_mail_state(const MailState& mail, const Settings& settings, std::string_view message) {
  const int code = mail.mail_code;
  const bool answered = mail_is_answered(mail);
  FUZZ_CHECK(code >= 0);
  FUZZ_CHECK(answered == (code < kCodeNoReplyFrom));
  if (!mail.sender || mail.receivers.empty()) FUZZ_CHECK(code & CODE_NO_ADDRESS);
  if (answered) FUZZ_CHECK(mail.sender && !mail.receivers.empty());

  FUZZ_CHECK(((code & CODE_FORCED_SENDER) != 0) == settings.forced_sender.has_value());
  FUZZ_CHECK(((code & CODE_FORCED_RECEIVERS) != 0) == !settings.forced_receivers.empty());
  if (settings.forced_sender) FUZZ_CHECK(mail.sender == settings.forced_sender);
  const long long limit = g_config.maxheader;
  FUZZ_CHECK(((code & CODE_TOO_MANY_HEADERS) != 0) == (header_lines(message, limit) > limit));

  const long long most = g_config.maxreceivers < 0 ? 0 : g_config.maxreceivers + 1LL;
  FUZZ_CHECK(static_cast<long long>(mail.receivers.size()) <= most);
  std::set<std::string> seen;
  const std::set<std::string> blacklisted(std::begin(kBlacklisted), std::end(kBlacklisted));
  const std::set<std::string> forced(settings.forced_receivers.begin(),
                                     settings.forced_receivers.end());
  for (const std::string& receiver : mail.receivers) {
    FUZZ_CHECK(is_normalised(receiver));
    if (!g_config.recipient_delimiter.empty()) FUZZ_CHECK(extension_cut(receiver));
    FUZZ_CHECK(seen.insert(receiver).second);  // normalised, so case is settled
    FUZZ_CHECK(blacklisted.count(receiver) == 0);
    // The forced addresses carry no delimiter: cutting leaves them as they are.
    if (!forced.empty()) FUZZ_CHECK(forced.count(receiver) == 1);
  }
  if (mail.sender) FUZZ_CHECK(is_normalised(*mail.sender));
  if (mail.subject) FUZZ_CHECK(one_line(*mail.subject));
  // The Message-ID is trimmed of blanks, and a blank one counts as none.
  if (mail.message_id) {
    const std::string& id = *mail.message_id;
    FUZZ_CHECK(one_line(id) && !id.empty());
    FUZZ_CHECK(std::string_view(" \t\r").find(id.front()) == std::string_view::npos);
    FUZZ_CHECK(std::string_view(" \t\r").find(id.back()) == std::string_view::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (fuzz_quiet_log(), store_set_pause(no_pause), true);
  (void)ready;
  constexpr size_t kSettings = 2;
  if (size < kSettings) return 0;
  const Settings settings = configure(data[0], data[1]);
  const UniqueFd input = message_input(data + kSettings, size - kSettings);

  const MailState mail =
      mail_intake(input.get(), settings.forced_receivers, settings.forced_sender);

  // Intake consumes all of its input, also after a header it stopped at.
  FUZZ_CHECK(lseek(input.get(), 0, SEEK_CUR) == static_cast<off_t>(size - kSettings));
  check_mail_state(
      mail, settings,
      std::string_view(reinterpret_cast<const char*>(data + kSettings), size - kSettings));
  return 0;
}
