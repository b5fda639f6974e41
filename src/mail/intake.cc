#include "mail/intake.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "config/config.h"
#include "mail/automatic.h"
#include "mail/decision.h"
#include "mail/header_line.h"
#include "mail/noreply_header.h"
#include "store/store.h"
#include "util/address.h"
#include "util/log.h"

namespace {

// A byte of a header field's name (RFC 5322, 3.6.8): printable US-ASCII
// other than ':'.
bool is_field_name_byte(char c) { return c > ' ' && c < 0x7f && c != ':'; }

// Whether line (its newline removed) starts a header field: a name, then
// the colon, with blanks allowed before it (the obsolete "Subject :").
bool is_header_field(std::string_view line) {
  size_t pos = 0;
  while (pos < line.size() && is_field_name_byte(line[pos])) ++pos;
  if (pos == 0) return false;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  return pos < line.size() && line[pos] == ':';
}

// Whether line (its newline removed) continues the field before it: it
// starts with a blank and holds something besides blanks and CR.
bool is_continuation(std::string_view line) {
  return !line.empty() && (line.front() == ' ' || line.front() == '\t') &&
         line.find_first_not_of(" \t\r") != std::string_view::npos;
}

// The mbox separator that some MTAs write before the header when they hand
// a message to a program (Sendmail's prog mailer, Postfix's pipe with flag
// F): "From <sender> <date>". Only ever the first line.
bool is_envelope_line(std::string_view line) { return line.starts_with("From "); }

// Whether line (its text up to a NUL byte, newline included), the header's
// first line when first, ends the header and stays out of it: every line
// that is neither a header field nor a continuation does, the empty line
// (a bare newline, or CR LF) and a line of only blanks and CR among them.
// Otherwise a line that is no header (a stray word, the first line of a
// body after a separator of blanks) would let the lines after it choose,
// as Sender or Reply-To, who gets the reply. On the first line the mbox
// separator is let through too, and a continuation (of nothing) is read as
// a line without meaning, as it always was.
bool ends_header(std::string_view line, bool first) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (is_header_field(line) || is_continuation(line)) return false;
  return !(first && is_envelope_line(line));
}

// The headers that name the people a message is addressed to, in copy or
// when it was sent on (RFC 5322, 3.6.3 and 3.6.6).
bool is_addressing_header(std::string_view name) {
  // By length first: this runs for every header line.
  switch (name.size()) {
    case 2:
      return equals_ignore_case(name, "to") || equals_ignore_case(name, "cc");
    case 3:
      return equals_ignore_case(name, "bcc");
    case 9:
      return equals_ignore_case(name, "resent-to") || equals_ignore_case(name, "resent-cc");
    case 10:
      return equals_ignore_case(name, "resent-bcc");
    default:
      return false;
  }
}

// value without its blanks at either end; none when nothing else is left.
OptionalText trimmed(std::string_view value) {
  const std::string_view text = trim_blanks(value);
  return text.empty() ? OptionalText() : OptionalText(text);
}

// Size of each read(2): large enough to drop a huge body at the speed of
// the pipe, small enough to keep the resident size flat.
constexpr size_t kBlockSize = 128 * 1024;

// Reads lines from a source the way fgets does, but over one fixed buffer,
// so that the body can be dropped block by block afterwards.
class LineReader {
 public:
  explicit LineReader(ByteSource& source) : source_(source) {}

  // Replaces line with the next line: up to and including a newline, at
  // most kMaxHeaderLineBytes bytes. The rest of a longer line is read and
  // dropped: read as a line of its own, a long display name could bring in
  // a header line of the sender's choosing. False at end of input (or on a
  // read error, which counts as the end).
  bool next_line(std::string& line) {
    line.clear();
    bool ended = false;
    while (!ended && line.size() < kMaxHeaderLineBytes) {
      if (pos_ == end_ && !fill()) return !line.empty();
      ended = take_until_newline(line, kMaxHeaderLineBytes - line.size());
    }
    if (!ended) skip_rest_of_line();
    return true;
  }

  // Reads and drops everything up to the end of input.
  void discard_rest() {
    pos_ = end_;
    while (fill()) pos_ = end_;
  }

 private:
  // Appends to line what the buffer holds of the current line, at most
  // limit bytes; true when that took its newline.
  bool take_until_newline(std::string& line, size_t limit) {
    const size_t want = std::min(end_ - pos_, limit);
    const char* start = buffer_ + pos_;
    const void* newline = memchr(start, '\n', want);
    const size_t take = newline != nullptr ? static_cast<const char*>(newline) - start + 1 : want;
    line.append(start, take);
    pos_ += take;
    return newline != nullptr;
  }

  // Drops the input up to and including the next newline.
  void skip_rest_of_line() {
    while (pos_ < end_ || fill()) {
      const void* newline = memchr(buffer_ + pos_, '\n', end_ - pos_);
      if (newline != nullptr) {
        pos_ = static_cast<const char*>(newline) - buffer_ + 1;
        return;
      }
      pos_ = end_;
    }
  }

  bool fill() {
    if (eof_) return false;
    const ssize_t got = source_.read(buffer_, kBlockSize);
    if (got <= 0) {
      eof_ = true;
      return false;
    }
    pos_ = 0;
    end_ = static_cast<size_t>(got);
    return true;
  }

  // One block per thread: an intake runs at a time in each, and static
  // storage keeps the block off the stack and out of the heap (a block this
  // size would be mapped and unmapped again for every message).
  static thread_local char buffer_[kBlockSize];
  ByteSource& source_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

thread_local char LineReader::buffer_[kBlockSize];

StoreHandle open_lookup_db(const OptionalText& path) {
  if (!path) return {};
  StoreHandle db = store_open(path, StoreMode::kReader, g_config.create_mode);
  if (!db && g_config.loglevel > 0) log_message(LOG_WARNING, "WARN/IO %s", path->c_str());
  return db;
}

// Offers one normalised address (none: nothing happens) to mail's
// receivers: its extension is cut, then duplicates are dropped and the
// blacklist and the receiver limit apply.
void admit_receiver(MailState& mail, const OptionalText& normalised, const StoreHandle& blacklist) {
  if (!normalised) return;
  std::string address = *normalised;
  cut_address_extension(address, g_config.recipient_delimiter);
  for (const std::string& known : mail.receivers) {
    if (equals_ignore_case(known, address)) return;
  }
  if (store_has_key(address, blacklist)) {
    mail.mail_code |= CODE_BLACKLISTED;
    return;
  }
  // The list may grow to maxreceivers + 1 entries; negative accepts none.
  if (static_cast<long long>(mail.receivers.size()) <= g_config.maxreceivers) {
    mail.receivers.push_back(std::move(address));
  } else {
    mail.mail_code |= CODE_TOO_MANY_RECEIVERS;
  }
}

// One message being read: its state so far and the lookup databases it is
// checked against, which are open only while the parser lives.
class IntakeParser {
 public:
  // Opens the badheaders database, then, when the receivers come from the
  // header, the blacklist (in the order of their warnings). Forced
  // receivers are admitted later (mail_for_receivers): the header gives
  // none then.
  explicit IntakeParser(bool receivers_forced)
      : badheaders_db_(open_lookup_db(g_config.badheaders)),
        blacklist_db_(receivers_forced ? StoreHandle() : open_lookup_db(g_config.blacklist)) {
    if (receivers_forced) mail_.mail_code |= CODE_FORCED_RECEIVERS;
  }

  // A forced sender that is no address a reply can go to leaves the
  // message without a sender.
  void force_sender(const std::string& sender) {
    mail_.mail_code |= CODE_FORCED_SENDER;
    if (is_sender_address(sender)) {
      mail_.sender = sender;
    } else {
      mail_.mail_code |= CODE_NO_ADDRESS;
    }
  }

  void note_null_sender() { mail_.null_sender = true; }

  // Reads the header from input and interprets it, then reads the rest of
  // the input to its end (see mail_intake).
  void read_headers(ByteSource& input) {
    LineReader reader(input);
    // Compared in 64 bits: the count may pass a maxheader of INT_MAX.
    const long long limit = g_config.maxheader;
    long long count = 0;
    std::string raw;
    if (reader.next_line(raw) && !ends_header(text_until_nul(raw), true) && limit >= 0) {
      OptionalText pending;
      do {
        handle_line(text_until_nul(raw), pending);
        ++count;
      } while (reader.next_line(raw) && !ends_header(text_until_nul(raw), false) && count <= limit);
      if (pending) interpret_header(*pending);
    }
    if (count > limit) mail_.mail_code |= CODE_TOO_MANY_HEADERS;
    reader.discard_rest();
  }

  // Closes the lookup databases and hands the state over.
  MailState finish() {
    store_close(badheaders_db_);
    store_close(blacklist_db_);
    return std::move(mail_);
  }

 private:
  bool code_has(int bits) const { return (mail_.mail_code & bits) != 0; }

  // Takes value, normalised in place, as the sender. A value without an
  // address a reply can go to (is_sender_address) leaves the sender as it
  // was and makes the message unanswerable.
  void take_sender(OptionalText& value, int taken_bit) {
    normalize_address(value);
    if (value && !is_sender_address(*value)) value.reset();
    if (value) {
      mail_.sender = *value;
      mail_.mail_code |= taken_bit;
    } else {
      mail_.mail_code |= CODE_NO_ADDRESS | taken_bit;
    }
  }

  // One physical header line, its newline removed: the bad-header lookup,
  // then unfolding into pending.
  void handle_line(std::string_view line, OptionalText& pending) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (store_has_key(line, badheaders_db_)) mail_.mail_code |= CODE_BAD_HEADER;
    if (!pending) {
      pending.emplace(line);
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      // Unfolding removes the line break only (RFC 5322, 3.2.2): the blank
      // that starts the continuation stays, or words and encoded-words on
      // either side of the fold would run together.
      if (!pending->empty() && pending->back() == '\r') pending->pop_back();
      pending->append(line);
    } else {
      interpret_header(*pending);
      pending.emplace(line);
    }
  }

  // One unfolded header line "name: value" (see mail_intake).
  void interpret_header(const std::string& header) {
    StringList parts = tokenize(header, 1, ':');
    if (parts.size() < 2) return;
    const std::string& name = parts[0];
    std::string& value = parts[1];
    if (value.front() == ' ') value.erase(0, 1);

    // Marks of automatic mail count whoever chose the sender: a forced
    // sender does not make list mail personal. Only looked for where they
    // count: with rfc3834.
    if (g_config.rfc3834 && mail_.automatic_header == nullptr) {
      mail_.automatic_header = automatic_mail_header(name, value);
    }

    if (!g_config.noreply_headers.empty()) check_noreply_header(name, value);

    // A sender header that is taken holds its address from here on, or
    // nothing; that is also what it offers as a receiver header.
    OptionalText address = value;
    if (equals_ignore_case(name, "sender") && !code_has(CODE_FORCED_SENDER)) {
      take_sender(address, CODE_SENDER_USED);
    }
    if (equals_ignore_case(name, "reply-to") && !code_has(CODE_FORCED_SENDER | CODE_SENDER_USED)) {
      take_sender(address, CODE_REPLYTO_USED);
    }
    if (equals_ignore_case(name, "from") &&
        !code_has(CODE_FORCED_SENDER | CODE_REPLYTO_USED | CODE_SENDER_USED)) {
      take_sender(address, 0);
    }
    if (equals_ignore_case(name, "subject")) mail_.subject = value;
    if (equals_ignore_case(name, "message-id")) {
      mail_.message_id = trimmed(value);
    }

    if (equals_ignore_case(name, "references")) mail_.references = trimmed(value);
    if (is_addressing_header(name)) mail_.addressing_values.push_back(value);

    if (code_has(CODE_FORCED_RECEIVERS) || !address) return;
    for (const std::string& receiver_header : g_config.recvheader) {
      if (!equals_ignore_case(name, receiver_header)) continue;
      for (std::string& item : tokenize(*address, -1, ',')) {
        OptionalText receiver = std::move(item);
        normalize_address(receiver);
        admit_receiver(mail_, receiver, blacklist_db_);
      }
    }
  }

  // The first header that a noreply_header line marks is recorded; a
  // pattern that does not compile ends the checks and, in main, the run.
  void check_noreply_header(std::string_view name, std::string_view value) {
    if (mail_.noreply_header != nullptr || !mail_.failure.ok()) return;
    Result<const char*> rule = noreply_rules_.match(name, value);
    if (!rule.ok()) {
      mail_.failure = rule.failure();
    } else {
      mail_.noreply_header = *rule;
    }
  }

  MailState mail_;
  NoreplyHeaderRules noreply_rules_;
  StoreHandle badheaders_db_;
  StoreHandle blacklist_db_;
};

}  // namespace

MailState mail_read(ByteSource& input, bool receivers_forced, const OptionalText& forced_sender,
                    bool null_sender_forced) {
  IntakeParser parser(receivers_forced);
  if (forced_sender) {
    parser.force_sender(*forced_sender);
  } else if (null_sender_forced) {
    parser.note_null_sender();
  }
  parser.read_headers(input);
  return parser.finish();
}

MailState mail_for_receivers(MailState message, const StringList& receivers) {
  if ((message.mail_code & CODE_FORCED_RECEIVERS) != 0) {
    StoreHandle blacklist = open_lookup_db(g_config.blacklist);
    for (const std::string& receiver : receivers) admit_receiver(message, receiver, blacklist);
    store_close(blacklist);
  }
  decide_message(message);
  if (g_config.loglevel > 2) {
    log_message(LOG_DEBUG, "DEBUG/MAIL Code: %d MessageID: %s", message.mail_code,
                log_safe(message.message_id.value_or("No ID found")).c_str());
  }
  return message;
}

MailState mail_intake(ByteSource& input, const StringList& forced_receivers,
                      const OptionalText& forced_sender, bool null_sender_forced) {
  MailState message =
      mail_read(input, !forced_receivers.empty(), forced_sender, null_sender_forced);
  return mail_for_receivers(std::move(message), forced_receivers);
}

MailState mail_intake(int input_fd, const StringList& forced_receivers,
                      const OptionalText& forced_sender, bool null_sender_forced) {
  FdByteSource input(input_fd);
  return mail_intake(input, forced_receivers, forced_sender, null_sender_forced);
}
