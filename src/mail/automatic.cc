#include "mail/automatic.h"

#include "util/strings.h"

namespace {

// The headers that mailing list software adds (RFC 2369, RFC 2919).
constexpr const char* kListHeaders[] = {"List-Id",          "List-Help", "List-Subscribe",
                                        "List-Unsubscribe", "List-Post", "List-Owner",
                                        "List-Archive"};

constexpr const char* kRobotLocalParts[] = {"mailer-daemon", "listserv", "majordomo"};
// "noreply", "no-reply" and the like begin the addresses that notification
// systems send from and nobody reads ("noreply-alerts@", "NoReply.Shop@").
constexpr const char* kRobotPrefixes[] = {"owner-",   "noreply",    "no-reply",
                                          "no_reply", "donotreply", "do-not-reply"};
constexpr const char* kRobotSuffixes[] = {"-request", "-bounces", "-owner"};

// A CR counts as a blank: a header line that ended in CR LF keeps its CR.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// From the '(' at pos, returns the position after its comment: nested
// comments and quoted pairs are part of it, and one that is never closed
// runs to the end. Counts depth instead of recursing, whatever the nesting.
size_t skip_comment(std::string_view text, size_t pos) {
  size_t depth = 0;
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c == '\\') {
      if (pos < text.size()) ++pos;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      break;
    }
  }
  return pos;
}

// The first word of value after any blanks and comments; it ends at a blank,
// a '(' or a ';'. Empty when there is none.
std::string_view first_word(std::string_view value) {
  size_t start = 0;
  while (start < value.size()) {
    if (is_blank(value[start])) {
      ++start;
    } else if (value[start] == '(') {
      start = skip_comment(value, start);
    } else {
      break;
    }
  }
  size_t end = start;
  while (end < value.size() && !is_blank(value[end]) && value[end] != '(' && value[end] != ';') {
    ++end;
  }
  return value.substr(start, end - start);
}

bool starts_with_ignore_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equals_ignore_case(text.substr(0, prefix.size()), prefix);
}

bool ends_with_ignore_case(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         equals_ignore_case(text.substr(text.size() - suffix.size()), suffix);
}

bool auto_submitted(std::string_view value) {
  const std::string_view keyword = first_word(value);
  return !keyword.empty() && !equals_ignore_case(keyword, "no");
}

bool bulk_precedence(std::string_view value) {
  const std::string_view precedence = trim_blanks(value);
  return equals_ignore_case(precedence, "bulk") || equals_ignore_case(precedence, "list") ||
         equals_ignore_case(precedence, "junk");
}

// A delivery status notification (RFC 3464) or a read receipt (RFC 8098)
// comes as multipart/report; the media type ends at a blank, '(' or ';'.
bool delivery_report(std::string_view value) {
  return equals_ignore_case(first_word(value), "multipart/report");
}

// Outlook's X-Auto-Response-Suppress: a comma-separated list of the kinds of
// automatic reply the sender does not want; OOF (out of office) and All
// cover a vacation reply.
bool suppresses_vacation_reply(std::string_view value) {
  while (true) {
    const size_t comma = value.find(',');
    const std::string_view item = trim_blanks(value.substr(0, comma));
    if (equals_ignore_case(item, "OOF") || equals_ignore_case(item, "All")) return true;
    if (comma == std::string_view::npos) return false;
    value.remove_prefix(comma + 1);
  }
}

}  // namespace

const char* automatic_mail_header(std::string_view name, std::string_view value) {
  if (trim_blanks(value).empty()) return nullptr;
  if (equals_ignore_case(name, "Auto-Submitted")) {
    return auto_submitted(value) ? "Auto-Submitted" : nullptr;
  }
  if (equals_ignore_case(name, "Precedence")) {
    return bulk_precedence(value) ? "Precedence" : nullptr;
  }
  if (equals_ignore_case(name, "X-Auto-Response-Suppress")) {
    return suppresses_vacation_reply(value) ? "X-Auto-Response-Suppress" : nullptr;
  }
  if (equals_ignore_case(name, "Content-Type")) {
    return delivery_report(value) ? "Content-Type" : nullptr;
  }
  for (const char* list_header : kListHeaders) {
    if (equals_ignore_case(name, list_header)) return list_header;
  }
  return nullptr;
}

bool is_robot_address(std::string_view address) {
  const size_t at = address.rfind('@');
  const std::string_view local = at == std::string_view::npos ? address : address.substr(0, at);
  for (const char* robot : kRobotLocalParts) {
    if (equals_ignore_case(local, robot)) return true;
  }
  for (const char* prefix : kRobotPrefixes) {
    if (starts_with_ignore_case(local, prefix)) return true;
  }
  for (const char* suffix : kRobotSuffixes) {
    if (ends_with_ignore_case(local, suffix)) return true;
  }
  return false;
}
