#include "lmtp/command.h"

#include <algorithm>
#include <span>
#include <vector>

#include "util/strings.h"

namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool starts_with_ignore_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equals_ignore_case(text.substr(0, prefix.size()), prefix);
}

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

size_t skip_spaces(std::string_view s, size_t pos) {
  while (pos < s.size() && s[pos] == ' ') ++pos;
  return pos;
}

bool is_alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A byte of an unquoted local part. Bytes above ASCII pass: the address is
// handed on as it came, and what it may hold is decided later.
bool is_local_byte(unsigned char c) {
  if (c >= 0x80) return true;
  if (is_control(c) || c == ' ') return false;
  return std::string_view("<>\"@\\,;:()[]").find(static_cast<char>(c)) == std::string_view::npos;
}

// A byte of a domain, an address literal ("[IPv6:...]") included.
bool is_domain_byte(unsigned char c) {
  if (c >= 0x80) return true;
  if (is_control(c) || c == ' ') return false;
  return std::string_view("<>\"@\\,;()").find(static_cast<char>(c)) == std::string_view::npos;
}

// Skips a source route ("@a,@b:") at pos, which it leaves after the ":".
// False when one starts but is malformed.
bool skip_route(std::string_view s, size_t& pos) {
  if (pos >= s.size() || s[pos] != '@') return true;
  bool in_literal = false;
  for (size_t i = pos; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '[') in_literal = true;
    if (c == ']') in_literal = false;
    if (c == ':' && !in_literal) {
      pos = i + 1;
      return true;
    }
    if (c == ',' && (i + 1 >= s.size() || s[i + 1] != '@')) return false;
    if (!is_domain_byte(c) && c != '@' && c != ',') return false;
  }
  return false;
}

// Skips a quoted string at pos (which holds its opening quote); false when
// it is not closed or holds a control byte.
bool skip_quoted(std::string_view s, size_t& pos) {
  for (++pos; pos < s.size(); ++pos) {
    const unsigned char c = static_cast<unsigned char>(s[pos]);
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') ++pos;
    if (pos >= s.size() || is_control(static_cast<unsigned char>(s[pos]))) return false;
  }
  return false;
}

struct Mailbox {
  std::string_view text;
  bool has_domain = false;
};

// The mailbox of the path "<[route:]mailbox>" at pos, which it leaves after
// the ">". The local part may be quoted; the domain may be missing (the
// caller decides whether that is allowed).
std::optional<Mailbox> parse_path(std::string_view s, size_t& pos) {
  if (pos >= s.size() || s[pos] != '<') return std::nullopt;
  ++pos;
  if (!skip_route(s, pos)) return std::nullopt;
  const size_t start = pos;
  if (pos < s.size() && s[pos] == '"') {
    if (!skip_quoted(s, pos)) return std::nullopt;
  } else {
    while (pos < s.size() && is_local_byte(static_cast<unsigned char>(s[pos]))) ++pos;
  }
  if (pos == start) return std::nullopt;
  Mailbox mailbox;
  if (pos < s.size() && s[pos] == '@') {
    const size_t domain = ++pos;
    while (pos < s.size() && is_domain_byte(static_cast<unsigned char>(s[pos]))) ++pos;
    if (pos == domain) return std::nullopt;
    mailbox.has_domain = true;
  }
  if (pos >= s.size() || s[pos] != '>') return std::nullopt;
  mailbox.text = s.substr(start, pos - start);
  ++pos;
  return mailbox;
}

struct Param {
  std::string keyword;  // upper case
  std::string_view value;
};

bool valid_keyword(std::string_view keyword) {
  if (keyword.empty() || !is_alnum(static_cast<unsigned char>(keyword[0]))) return false;
  for (const char c : keyword) {
    if (!is_alnum(static_cast<unsigned char>(c)) && c != '-') return false;
  }
  return true;
}

bool valid_value(std::string_view value) {
  if (value.empty()) return false;
  for (const char c : value) {
    if (c < '!' || c > '~' || c == '=') return false;
  }
  return true;
}

// The parameters after a path: none, or a space and keyword[=value] items
// apart by spaces. False on anything else.
bool split_params(std::string_view text, std::vector<Param>& params) {
  if (text.empty()) return true;
  if (text[0] != ' ') return false;
  size_t pos = 0;
  while ((pos = skip_spaces(text, pos)) < text.size()) {
    const size_t end = std::min(text.find(' ', pos), text.size());
    const std::string_view item = text.substr(pos, end - pos);
    pos = end;
    const size_t equals = item.find('=');
    const std::string_view keyword = item.substr(0, equals);
    if (!valid_keyword(keyword)) return false;
    Param param;
    for (const char c : keyword) param.keyword.push_back(ascii_upper(c));
    if (equals != std::string_view::npos) {
      param.value = item.substr(equals + 1);
      if (!valid_value(param.value)) return false;
    }
    params.push_back(param);
  }
  return true;
}

bool one_of(std::string_view value, std::initializer_list<std::string_view> choices) {
  for (const std::string_view choice : choices) {
    if (equals_ignore_case(value, choice)) return true;
  }
  return false;
}

bool valid_size(std::string_view v) {
  if (v.empty() || v.size() > 20) return false;
  for (const char c : v) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}
bool valid_body(std::string_view v) { return one_of(v, {"7BIT", "8BITMIME"}); }
bool valid_ret(std::string_view v) { return one_of(v, {"FULL", "HDRS"}); }
bool valid_envid(std::string_view v) { return lmtp_xtext_decode(v).has_value(); }

bool valid_notify(std::string_view v) {
  if (v.empty()) return false;  // NOTIFY without a value, or with an empty one
  if (equals_ignore_case(v, "NEVER")) return true;
  for (const std::string& item : tokenize(v, -1, ',')) {
    if (!one_of(item, {"SUCCESS", "FAILURE", "DELAY"})) return false;
  }
  return v.front() != ',' && v.back() != ',' && v.find(",,") == std::string_view::npos;
}

// The address of an ORCPT value of type rfc822 (none for another type), or
// an error when the value is malformed.
struct Original {
  bool valid = false;
  std::optional<std::string> address;
};
Original original_recipient(std::string_view v) {
  const size_t semicolon = v.find(';');
  if (semicolon == std::string_view::npos || !valid_keyword(v.substr(0, semicolon))) return {};
  std::optional<std::string> decoded = lmtp_xtext_decode(v.substr(semicolon + 1));
  if (!decoded) return {};
  if (!equals_ignore_case(v.substr(0, semicolon), "rfc822")) return {true, std::nullopt};
  if (decoded->empty()) return {};
  for (const char c : *decoded) {
    if (is_control(static_cast<unsigned char>(c)) || c == ' ') return {};
  }
  return {true, std::move(decoded)};
}
bool valid_orcpt(std::string_view v) { return original_recipient(v).valid; }

struct ParamRule {
  std::string_view keyword;
  bool (*valid)(std::string_view value);
};
constexpr ParamRule kMailParams[] = {
    {"SIZE", valid_size}, {"BODY", valid_body}, {"RET", valid_ret}, {"ENVID", valid_envid}};
constexpr ParamRule kRcptParams[] = {{"NOTIFY", valid_notify}, {"ORCPT", valid_orcpt}};

// The reply to parameters that break a rule; empty when all are accepted.
std::string check_params(const std::vector<Param>& params, std::span<const ParamRule> rules) {
  for (size_t i = 0; i < params.size(); ++i) {
    const Param& param = params[i];
    const ParamRule* rule = nullptr;
    for (const ParamRule& candidate : rules) {
      if (candidate.keyword == param.keyword) rule = &candidate;
    }
    if (rule == nullptr) return "555 5.5.4 unsupported parameter " + param.keyword;
    for (size_t j = 0; j < i; ++j) {
      if (params[j].keyword == param.keyword)
        return "501 5.5.4 duplicate parameter " + param.keyword;
    }
    if (!rule->valid(param.value)) return "501 5.5.4 invalid value for " + param.keyword;
  }
  return {};
}

LmtpPathArgs failure(std::string reply) {
  LmtpPathArgs result;
  result.error = std::move(reply);
  return result;
}

}  // namespace

LmtpCommand lmtp_split_command(std::string_view line) {
  LmtpCommand command;
  const size_t space = line.find(' ');
  for (const char c : line.substr(0, space)) command.verb.push_back(ascii_upper(c));
  if (space != std::string_view::npos) {
    command.args = line.substr(space + 1);
    command.has_args = true;
  }
  return command;
}

LmtpPathArgs lmtp_parse_mail(std::string_view args) {
  if (!starts_with_ignore_case(args, "FROM:")) {
    return failure("501 5.5.4 syntax: MAIL FROM:<address> [parameters]");
  }
  size_t pos = skip_spaces(args, 5);
  LmtpPathArgs result;
  if (args.substr(pos, 2) == "<>") {
    result.null_path = true;
    pos += 2;
  } else {
    const std::optional<Mailbox> mailbox = parse_path(args, pos);
    if (!mailbox || !mailbox->has_domain) return failure("501 5.1.7 bad sender address syntax");
    result.address = mailbox->text;
  }
  std::vector<Param> params;
  if (!split_params(args.substr(pos), params)) return failure("501 5.5.4 bad parameter syntax");
  result.error = check_params(params, kMailParams);
  return result;
}

LmtpPathArgs lmtp_parse_rcpt(std::string_view args) {
  if (!starts_with_ignore_case(args, "TO:")) {
    return failure("501 5.5.4 syntax: RCPT TO:<address> [parameters]");
  }
  size_t pos = skip_spaces(args, 3);
  const std::optional<Mailbox> mailbox = parse_path(args, pos);
  if (!mailbox || (!mailbox->has_domain && !equals_ignore_case(mailbox->text, "postmaster"))) {
    return failure("501 5.1.3 bad recipient address syntax");
  }
  std::vector<Param> params;
  if (!split_params(args.substr(pos), params)) return failure("501 5.5.4 bad parameter syntax");
  LmtpPathArgs result;
  result.error = check_params(params, kRcptParams);
  result.address = mailbox->text;
  for (const Param& param : params) {
    if (param.keyword != "ORCPT") continue;
    std::optional<std::string> original = original_recipient(param.value).address;
    if (original) result.address = std::move(*original);
  }
  return result;
}

std::optional<std::string> lmtp_xtext_decode(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      if (text.size() - i < 3) return std::nullopt;
      const int high = hex(text[i + 1]);
      const int low = hex(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      decoded.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (c < '!' || c > '~' || c == '=') {
      return std::nullopt;
    } else {
      decoded.push_back(c);
    }
  }
  return decoded;
}
