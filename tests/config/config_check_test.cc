// config_check: every problem of a configuration file, one line each, with
// its line number; nothing logged, nothing contacted, the record in force
// untouched.
#include "config/config_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

class ConfigCheck : public testing::Test {
 protected:
  // The problems of text as a configuration file, with "<path>:" taken off
  // each line.
  std::vector<std::string> check(const std::string& text) {
    const std::string path = dir.write("orvelt.cfg", text);
    std::vector<std::string> lines = config_check(path.c_str());
    for (std::string& line : lines) {
      EXPECT_EQ(line.compare(0, path.size() + 1, path + ":"), 0) << line;
      line.erase(0, path.size() + 1);
    }
    return lines;
  }

  TempDir dir;
};

TEST_F(ConfigCheck, ListsEveryProblemWithItsLine) {
  const std::string header = dir.write("header", "To: $sender\n\n");
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {"a sound file",
       "server ldap\nforceheader " + header + "\nweb_binddn cn=w\nweb_bindpw pw\n",
       {}},
      {"directives of every program are no problem",
       "lmtp_workers 4\nweb_session_idle 5\nblockstore gdbm\nmta_env MAIL_CONFIG\n",
       {}},
      {"unknown directives and bad values",
       "# comment\nrfc3834 yse\nbogus 1\n\npersonal true\nblockexpire -5\nmtatimeout 5x\n"
       "mtatimeout 86401\numask 0044\ncharset UTF-9\n",
       {"2: rfc3834: \"yse\" is not yes or no", "3: Unknown config directive: bogus",
        "5: personal: \"true\" is not yes or no",
        "6: blockexpire: \"-5\" is not a number from 0 to 1000000",
        "7: mtatimeout: \"5x\" is not a number from 1 to 86400",
        "8: mtatimeout above 86400 ignored",
        "9: umask 0044 would make block files the program cannot read; 0600 used",
        "10: charset: \"UTF-9\" is not a charset iconv converts UTF-8 into"}},
      {"a line too long counts as one line",
       "base " + std::string(3000, 'x') + "\nport x\n",
       {"1: line too long", "2: port: \"x\" is not a number from 1 to 65535"}},
      {"files the programs read, at the line that named them last",
       "forceheader /nonexistent/header\nforceheader " + header +
           "\nforcefooter /nonexistent/footer\nbadheaders " + dir.path() + "\nblacklist " + fifo +
           "\ntls_cacert /nonexistent/ca.pem\n",
       {"3: forcefooter /nonexistent/footer: No such file or directory",
        "4: badheaders " + dir.path() + ": Is a directory",
        "5: blacklist " + fifo + ": not a regular file",
        "6: tls_cacert /nonexistent/ca.pem: No such file or directory"}},
      {"problems in file order, whatever found them",
       "tls_cacert /nonexistent/ca.pem\nport x\n",
       {"1: tls_cacert /nonexistent/ca.pem: No such file or directory",
        "2: port: \"x\" is not a number from 1 to 65535"}},
      {"web_binddn without web_bindpw",
       "base dc=x\nweb_binddn cn=w\n",
       {"2: web_binddn without web_bindpw"}},
      {"noreply_header patterns that do not compile, each at its line",
       "noreply_header X-Spam ^yes\nnoreply_header X-Bad (yes\nnoreply_header X-Worse [\n",
       {"2: noreply_header X-Bad: Unmatched ( or \\(",
        "3: noreply_header X-Worse: Invalid regular expression"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(check(c.text), c.problems);
  }
}

// The check reads into a record of its own and logs nothing: a running
// program's record, and the mail log, stay as they were.
TEST_F(ConfigCheck, LeavesTheRecordAndTheLogAlone) {
  config_set_defaults();
  g_config.base = "dc=running";
  LogCapture capture;
  EXPECT_EQ(check("base dc=other\nbogus 1\n"),
            std::vector<std::string>{"2: Unknown config directive: bogus"});
  EXPECT_EQ(g_config.base, "dc=running");
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(ConfigCheck, AFileThatCannotBeReadIsOneLine) {
  EXPECT_EQ(config_check("/nonexistent/orvelt.cfg"),
            std::vector<std::string>{"/nonexistent/orvelt.cfg: No such file or directory"});
  EXPECT_EQ(config_check(dir.path().c_str()),
            std::vector<std::string>{dir.path() + ": Is a directory"});
}

}  // namespace
