// The program fed what the internet and a careless directory may hand it:
// huge and endless headers, NUL bytes, garbage, addresses built to climb
// out of the block file directory or to change the search filter, broken
// UTF-8 and huge values in the directory, and a directory that hangs up in
// the middle of a search. Each run must end with status 0 and do what the
// case expects, with its reason in the log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "util/unique_fd.h"

namespace {

using namespace std::string_literals;

const std::string kLocalText = "To: $sender\nSubject: Re: $subject\n\nlocal is away\n";

std::vector<std::string> texts_sent(const RecordingMta& mta) {
  std::vector<std::string> texts;
  for (const MtaCall& call : mta.calls()) texts.push_back(call.stdin_text);
  return texts;
}

// The largest resident size, in KiB, of any child this process has waited for.
long largest_child_kib() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_maxrss;
}

class HostileInput : public testing::Test {
 protected:
  void SetUp() override {
    // blockfiles lies two levels down, so that "../../etc/x" would land in
    // an existing directory of the test's own, and so would "a/b@c".
    std::filesystem::create_directories(blockdir_ + "/a");
    std::filesystem::create_directories(dir_.file("etc"));
  }

  std::string config(const std::string& extra) const {
    return TestConfig(server_, blockdir_).add(extra).write(dir_);
  }

  ProgramResult run_file(const std::string& stdin_path, const std::string& extra_config = "") {
    ProgramRun run;
    run.args = {"-c", config(extra_config)};
    run.stdin_path = stdin_path;
    return run_program(run);
  }

  ProgramResult run(const std::string& message, const std::string& extra_config = "") {
    return run_file(dir_.write("message", message), extra_config);
  }

  static std::string directory() {
    return ldif_people_unit() + ldif_person("local", "local@site", "TRUE", {kLocalText}) +
           ldif_person("other", "other@site", "TRUE", {"other is away\n"}) +
           ldif_person("up", "../../etc/x", "TRUE", {"climbing\n"}) +
           ldif_person("slash", "a/b@c", "TRUE", {"slashed\n"}) +
           ldif_person("bs", "b\\2a@site", "TRUE", {"backslash entry\n"}) +
           ldif_person("bz", "bz@site", "TRUE", {"bz entry\n"}) +
           ldif_person("paren", "p(x)@site", "TRUE", {"parens entry\n"}) +
           ldif_person("bin", "bin@site", "TRUE", {"Value: $audio.\n"},
                       ldif_line("audio", "ok \xff\xfe \xc3\xa9 \xc3")) +
           ldif_person("nul", "nul@site", "TRUE", {"Value: $audio.\n"},
                       ldif_line("audio", "before\0after"s));
  }

  SlapdServer server_{SlapdOptions().entries(directory())};
  TempDir dir_;
  std::string blockdir_ = dir_.file("spool/block");
};

// A header line of 100 MB without a newline, and 100,000 header lines: the
// input is streamed, the header limit stops the interpretation, the rest is
// read to its end.
TEST_F(HostileInput, HugeHeaders) {
  const std::string start = "From: f@x\nTo: local@site\n";
  const std::string huge_line = dir_.file("huge-line");
  {
    std::ofstream out(huge_line, std::ios::binary);
    out << start << "X-Huge: ";
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 100; ++i) out << block;
  }
  const std::string many_lines = dir_.file("many-lines");
  {
    std::ofstream out(many_lines, std::ios::binary);
    out << start;
    for (int i = 0; i < 100000; ++i) out << "X-Line-" << i << ": " << i << "\n";
    out << "\nbody\n";
  }

  RecordingMta mta;
  ProgramResult r = run_file(huge_line);
  EXPECT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.exit_status, 0);
  // The rest of the line is read and dropped; the header is whole and
  // answered.
  EXPECT_EQ(mail_code(r.log), 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  // Streamed: nowhere near the 100 MB of the line is ever held at once.
  EXPECT_LT(largest_child_kib(), 64 * 1024);

  r = run_file(many_lines);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mail_code(r.log), 32);
  EXPECT_EQ(mta.calls().size(), 1u);

  // With a limit above the header's length every line is interpreted, and
  // the receiver at the very end is answered.
  {
    std::ofstream out(many_lines, std::ios::binary);
    out << "From: f@x\n";
    for (int i = 0; i < 100000; ++i) out << "X-Line-" << i << ": " << i << "\n";
    out << "To: local@site\n\nbody\n";
  }
  r = run_file(many_lines, "maxheader 200000\nblockexpire 0\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mail_code(r.log), 0);
  EXPECT_EQ(mta.calls().size(), 2u);
}

// NUL bytes, garbage and a message that ends in the middle of a folded
// header: intake takes what it can and never stops the process.
TEST_F(HostileInput, BrokenMessages) {
  std::mt19937 random(20240611);
  std::string garbage(1 << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  std::string garbage_lines = garbage;
  for (size_t i = 0; i < garbage_lines.size(); i += 1 + random() % 100) garbage_lines[i] = '\n';

  const struct Case {
    const char* name;
    std::string message;
    int code;  // -1: whatever the bytes make of it
    std::vector<std::string> replies;
  } cases[] = {
      {"NUL in a header name", "Fr\0om: f@x\nTo: local@site\n\nbody\n"s, 128, {}},
      {"NUL in values",
       "From: f@x\0, evil@x\nTo: other@site\0, local@site\n\n"s,
       0,
       {"other is away\n"}},
      {"NUL first", "\0From: f@x\nTo: other@site\n"s, 128, {}},
      {"NUL bytes only", std::string(5000, '\0'), 128, {}},
      {"binary garbage", garbage, -1, {}},
      {"garbage in lines", garbage_lines, -1, {}},
      {"garbage after the header",
       "From: f@x\nTo: other@site\n\n" + garbage,
       0,
       {"other is away\n"}},
      {"ends inside a folded receiver list",
       "From: f@x\nTo: nobody@site,\n other@site",
       0,
       {"other is away\n"}},
      {"ends inside a folded subject",
       "From: f@x\nTo: local@site\nSubject: half\n way",
       0,
       {"To: f@x\nSubject: Re: half way\n\nlocal is away\n"}},
      {"ends after a trailing comma", "From: f@x\nTo: other@site,\n", 0, {"other is away\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    const ProgramResult r = run(c.message, "blockexpire 0\n");
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exit_status, 0);
    const int code = mail_code(r.log);
    if (c.code >= 0) {
      EXPECT_EQ(code, c.code);
      EXPECT_EQ(texts_sent(mta), c.replies);
    } else {
      EXPECT_GE(code, 0);  // intake ran to its end and said why
    }
  }
}

// Receivers whose block file would lie outside blockfiles, or whose name
// no file may have, are refused: no reply, a warning, no file anywhere. The
// directory ignores blanks at either end of a value, so other@site with 300
// trailing blanks would find other@site's entry; so would "< other@site>":
// an address with a blank is no address, never looked up, and cannot bring
// the sender a reply past other@site's block record.
TEST_F(HostileInput, ReceiversWithoutAUsableBlockFile) {
  RecordingMta mta;
  const std::string blanks(300, ' ');
  ProgramResult r =
      run("From: f@x\nTo: <../../etc/x>, <a/b@c>,\n <other@site" + blanks + ">, other@site\n\n");
  EXPECT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mail_code(r.log), 0);
  EXPECT_TRUE(logged(r.log, LOG_WARNING, "WARN/IO refusing block file for ../../etc/x"));
  EXPECT_TRUE(logged(r.log, LOG_WARNING, "WARN/IO refusing block file for a/b@c"));
  // The ordinary receiver after them is answered as usual.
  EXPECT_EQ(texts_sent(mta), std::vector<std::string>{"other is away\n"});

  for (const std::string to : {"<other@site >", "< other@site>", "other@site"}) {
    r = run("From: f@x\nTo: " + to + "\n\n");
    EXPECT_EQ(r.exit_status, 0) << to;
  }
  EXPECT_EQ(mta.calls().size(), 1u);

  EXPECT_FALSE(std::filesystem::exists(dir_.file("etc/x")));
  EXPECT_FALSE(std::filesystem::exists(blockdir_ + "/a/b@c"));
  std::vector<std::string> created;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
    if (entry.is_regular_file()) created.push_back(entry.path().lexically_relative(dir_.path()));
  }
  std::sort(created.begin(), created.end());
  EXPECT_EQ(created, (std::vector<std::string>{"message", "orvelt.cfg", "spool/block/other@site"}));
}

// The sender decides who gets the reply, so it must be one address the
// sender gave in the header proper: not a list between brackets (every
// name on it would get the reply), not a line from the body of a CR LF
// message, not the tail of an over-long header line, not a line after one
// that ends the header. Such an address counts as none: from a header, the
// message is not answered; after -s, it is as if -s '<>' had been given. An
// address without a local part and a domain around its one '@' (a bare
// word, the name of a group) is no sender either, from a header or after
// -s: the message is not answered. A receiver that is a list is not looked
// up.
TEST_F(HostileInput, OneAddressChoosesWhoIsAnswered) {
  const std::string tail_of_long_line =
      "From: f@x (" + std::string(2090, 'x') + "Sender: victim@c\n";
  const struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string message;
    int code;
    std::vector<std::string> answered;  // the MTA's last argument, per reply
  } cases[] = {
      {"a list as From", {}, "From: <a@b, victim1@c, victim2@d>\nTo: local@site\n\n", 128, {}},
      {"a list as Reply-To",
       {},
       "From: f@x\nReply-To: <a@b,victim@c>\nTo: local@site\n\n",
       136,
       {}},
      {"a list as Sender", {}, "Sender: <a@b;victim@c>\nFrom: f@x\nTo: local@site\n\n", 384, {}},
      {"a line break inside brackets",
       {},
       "From: <a@b\rBcc: victim@c>\nTo: local@site\n\n",
       128,
       {}},
      {"two addresses in From", {}, "From: <a@b>, <victim@c>\nTo: local@site\n\n", 128, {}},
      {"a list after -s is the null sender",
       {"-s", "<a@b, victim@c>"},
       "From: f@x\nTo: local@site\n\n",
       0,
       {"f@x"}},
      {"a list after -a is no receiver",
       {"-a", "<local@site, other@site>", "-s", "f@x"},
       "From: f@x\nTo: other@site\n\n",
       2,
       {"f@x"}},
      {"a list as receiver", {}, "From: f@x\nTo: <local@site other@site>, x@site\n\n", 0, {}},
      {"the body of a CR LF message",
       {},
       "From: f@x\r\nTo: local@site\r\n\r\nSender: victim@c\r\nReply-To: victim@c\r\n",
       0,
       {"f@x"}},
      {"the tail of an over-long line", {}, tail_of_long_line + "To: local@site\n\n", 0, {"f@x"}},
      // A bare word is no address a reply can go to: an MTA that qualifies
      // bare names would deliver it to a local mailbox.
      {"group syntax as From", {}, "From: team: a@b, victim@c;\nTo: local@site\n\n", 128, {}},
      {"a bare word as Reply-To", {}, "From: f@x\nReply-To: victim\nTo: local@site\n\n", 136, {}},
      {"group syntax after -s",
       {"-s", "undisclosed: a@b;"},
       "From: f@x\nTo: local@site\n\n",
       130,
       {}},
      {"no local part after -s", {"-s", "@c"}, "From: f@x\nTo: local@site\n\n", 130, {}},
      {"no domain in Sender", {}, "Sender: victim@\nFrom: f@x\nTo: local@site\n\n", 384, {}},
      // The header ends at the first line that is neither a field nor a
      // continuation: what comes after it is no header.
      {"a line without a colon",
       {},
       "From: f@x\nTo: local@site\nno colon here\nReply-To: victim@c\n\n",
       0,
       {"f@x"}},
      {"a line of blanks and CR",
       {},
       "From: f@x\nTo: local@site\n \t\r\nSender: victim@c\n\n",
       0,
       {"f@x"}},
      {"a line of blanks in a CR LF message",
       {},
       "From: f@x\r\nTo: local@site\r\n \r\nReply-To: victim@c\r\n",
       0,
       {"f@x"}},
      {"a field name with a blank",
       {},
       "From: f@x\nTo: local@site\nX Bad: y\nReply-To: victim@c\n\n",
       0,
       {"f@x"}},
      {"the mbox separator before the header",
       {},
       "From f@x  Fri Dec 11 10:00:00 2026\nFrom: f@x\nTo: local@site\n\n",
       0,
       {"f@x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    ProgramRun run;
    run.args = {"-c", config("blockexpire 0\n")};
    run.args.insert(run.args.end(), c.args.begin(), c.args.end());
    run.stdin_path = dir_.write("message", c.message);
    const ProgramResult r = run_program(run);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(mail_code(r.log), c.code);
    std::vector<std::string> answered;
    for (const MtaCall& call : mta.calls()) answered.push_back(call.argv.back());
    EXPECT_EQ(answered, c.answered);
    // Neither looked up (the search filter is logged) nor answered.
    for (const LogRecord& record : r.log) {
      EXPECT_EQ(record.text.find("victim"), std::string::npos) << record.text;
      EXPECT_EQ(record.text.find("local@site other@site"), std::string::npos) << record.text;
    }
  }
}

// Bytes that mean something in a search filter stand for themselves: each
// address finds its own entry and nothing else.
TEST_F(HostileInput, FilterMetacharactersInAddresses) {
  const struct Case {
    std::string to;
    std::vector<std::string> replies;
  } cases[] = {
      // Unescaped, the filter would read "\2a" as an escaped '*' and look
      // for "b*@site": the entry with the backslash would not be found.
      {"<b\\2a@site>", {"backslash entry\n"}},
      // Unescaped, the parentheses would break the filter: no entry at all.
      {"<p(x)@site>", {"parens entry\n"}},
      {"<bz@site)(mail=p(x)@site>", {}},
      {"<x)(|(mail=bz@site)>", {}},
      // A '*' ends an address: what is left finds nothing.
      {"<b*@site>", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    RecordingMta mta;
    const ProgramResult r = run("From: f@x\nTo: " + c.to + "\n\n", "blockexpire 0\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(texts_sent(mta), c.replies);
  }
}

// Directory values that are not UTF-8 while a charset is set: the bytes
// that do not convert are dropped one by one. A value with a NUL byte
// inside is one the LDAP library does not hand out as a string at all: the
// placeholder is filled with nothing.
TEST_F(HostileInput, BrokenValuesFromTheDirectory) {
  const struct Case {
    std::string to;
    std::string reply;
  } cases[] = {
      {"bin@site", "Value: ok  \xe9 .\n"},
      {"nul@site", "Value: .\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    RecordingMta mta;
    const ProgramResult r =
        run("From: f@x\nTo: " + c.to + "\n\n", "charset ISO-8859-1\nmap_field $audio audio\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(texts_sent(mta), std::vector<std::string>{c.reply});
  }
}

// A 5 MB vacation text reaches the MTA whole, converted or not.
TEST(HostileDirectory, FiveMegabyteValue) {
  std::string huge;
  while (huge.size() < 5 * 1024 * 1024) huge += "A line of a very long vacation text.\n";
  const SlapdServer server(SlapdOptions().entries(
      ldif_people_unit() + ldif_person("huge", "huge@site", "TRUE", {huge})));
  TempDir dir;
  std::filesystem::create_directory(dir.file("block"));
  for (const std::string charset : {"", "charset ISO-8859-15\n"}) {
    SCOPED_TRACE(charset);
    RecordingMta mta;
    const std::string config = dir.write(
        "orvelt.cfg", "server 127.0.0.1\nport " + std::to_string(server.port()) +
                          "\nbase dc=example,dc=org\nprotocol 3\nblockexpire 0\nblockfiles " +
                          dir.file("block") + "\nmta " + RecordingMta::program() + "\nmta_env " +
                          RecordingMta::env_names() + "\n" + charset);
    const ProgramResult r = run_orvelt({"-c", config}, "From: f@x\nTo: huge@site\n\n");
    EXPECT_EQ(r.exit_status, 0);
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].stdin_text.size(), huge.size());
    EXPECT_TRUE(calls[0].stdin_text == huge);
  }
}

// A network peer that answers every bind with success and hangs up on
// every search: just enough LDAP to get a session into the middle of a
// search. Serves connections on a loopback port until it goes.
class HangUpOnSearch {
 public:
  HangUpOnSearch() {
    listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_.valid() ||
        bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_.get(), 8) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("HangUpOnSearch: no listening socket");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~HangUpOnSearch() {
    done_ = true;
    thread_.join();
  }
  HangUpOnSearch(const HangUpOnSearch&) = delete;
  HangUpOnSearch& operator=(const HangUpOnSearch&) = delete;

  int port() const { return port_; }
  int binds() const { return binds_; }
  int searches() const { return searches_; }

 private:
  // Waits up to a second for fd to become readable; false when it did not
  // or the server is going.
  bool readable(int fd) const {
    for (int waited = 0; waited < 10 && !done_; ++waited) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) return true;
    }
    return false;
  }

  bool read_exactly(int fd, uint8_t* bytes, size_t count) const {
    while (count > 0) {
      if (!readable(fd)) return false;
      const ssize_t n = read(fd, bytes, count);
      if (n <= 0) return false;
      bytes += n;
      count -= static_cast<size_t>(n);
    }
    return true;
  }

  // Reads one LDAPMessage (a BER SEQUENCE) and returns its message id and
  // the tag of its protocol operation; false when the peer went away.
  bool read_message(int fd, int& message_id, int& operation) const {
    uint8_t head[2];
    if (!read_exactly(fd, head, 2) || head[0] != 0x30) return false;
    size_t length = head[1];
    if (head[1] & 0x80) {
      const int octets = head[1] & 0x7f;
      uint8_t bytes[4];
      if (octets > 4 || !read_exactly(fd, bytes, octets)) return false;
      length = 0;
      for (int i = 0; i < octets; ++i) length = (length << 8) | bytes[i];
    }
    std::vector<uint8_t> body(length);
    if (length < 5 || !read_exactly(fd, body.data(), length)) return false;
    // INTEGER message id (short), then the operation's tag.
    const size_t id_length = body[1];
    if (body[0] != 0x02 || id_length == 0 || id_length > 4 || 2 + id_length >= length) return false;
    message_id = 0;
    for (size_t i = 0; i < id_length; ++i) message_id = (message_id << 8) | body[2 + i];
    operation = body[2 + id_length];
    return true;
  }

  void serve_connection(int fd) {
    int message_id = 0;
    int operation = 0;
    while (read_message(fd, message_id, operation)) {
      if (operation == 0x60) {  // BindRequest: success, no matched DN, no message
        ++binds_;
        const uint8_t response[] = {0x30, 0x0c, 0x02, 0x01, static_cast<uint8_t>(message_id),
                                    0x61, 0x07, 0x0a, 0x01, 0x00,
                                    0x04, 0x00, 0x04, 0x00};
        if (message_id > 127 || write(fd, response, sizeof response) != sizeof response) return;
      } else {
        if (operation == 0x63) ++searches_;  // SearchRequest: hang up
        return;
      }
    }
  }

  void serve() {
    while (!done_) {
      if (!readable(listener_.get())) continue;
      UniqueFd connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (connection.valid()) serve_connection(connection.get());
    }
  }

  UniqueFd listener_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> done_{false};
  std::atomic<int> binds_{0};
  std::atomic<int> searches_{0};
};

TEST(HostileDirectory, ConnectionClosedInTheMiddleOfASearch) {
  HangUpOnSearch peer;
  TempDir dir;
  RecordingMta mta;
  const std::string config =
      dir.write("orvelt.cfg", "server 127.0.0.1\nport " + std::to_string(peer.port()) +
                                  "\nbase dc=example,dc=org\nprotocol 3\nloglevel 1\nblockfiles " +
                                  dir.path() + "\nmta " + RecordingMta::program() + "\nmta_env " +
                                  RecordingMta::env_names() + "\n");
  const ProgramResult r = run_orvelt({"-c", config}, "From: f@x\nTo: a@site, b@site\n\n");
  EXPECT_TRUE(r.exited) << "signal " << r.signal;
  // The directory lost during the first search ends the run: the message
  // must be tried again, not taken as one without receivers to answer.
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_GE(peer.binds(), 1);
  EXPECT_EQ(peer.searches(), 1);
  EXPECT_TRUE(logged(r.log, LOG_ERR, "CRIT/LDAP Can't contact LDAP server"));
  EXPECT_EQ(r.err, "orvelt: CRIT/LDAP Can't contact LDAP server\n");
  EXPECT_FALSE(logged(r.log, LOG_WARNING, "WARN/LDAP Wrong query base?"));
  EXPECT_TRUE(mta.calls().empty());
}

}  // namespace
