// The syntax of LMTP command lines: the verb, the paths of MAIL FROM and
// RCPT TO, and the ESMTP parameters this server accepts. Pure functions of
// the line, so that they can be tried on any input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A command line split at its first space: the verb in upper case (ASCII),
// the arguments after the space (empty when there was none).
struct LmtpCommand {
  std::string verb;
  std::string_view args;
  bool has_args = false;
};
LmtpCommand lmtp_split_command(std::string_view line);

// What the arguments of MAIL or RCPT gave. error is empty when they were
// accepted, else the whole reply line (501 or 555) to send.
struct LmtpPathArgs {
  std::string error;
  // MAIL: the sender, the text between the brackets with a source route
  // dropped; empty for the null path. RCPT: the receiver, which is the
  // ORCPT=rfc822;ADDRESS address (decoded) when given, else the path's.
  std::string address;
  bool null_path = false;  // MAIL FROM:<>
};
// args: what follows "MAIL " (FROM:<path> [SIZE=n] [BODY=7BIT|8BITMIME]
// [RET=FULL|HDRS] [ENVID=xtext]).
LmtpPathArgs lmtp_parse_mail(std::string_view args);
// args: what follows "RCPT " (TO:<path> [NOTIFY=...] [ORCPT=type;xtext]).
LmtpPathArgs lmtp_parse_rcpt(std::string_view args);

// The text an xtext (RFC 3461) stands for: "+" and two hex digits for a
// byte, other bytes from "!" to "~" but "=" as they are; none when text is
// no xtext.
std::optional<std::string> lmtp_xtext_decode(std::string_view text);
