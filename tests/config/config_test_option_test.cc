// -t of every program: orvelt, orveltd, orvelt-web and orvelt-db read the
// configuration file, print its problems on standard error, start and
// contact nothing, log nothing, and exit 0 only when there is none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

struct Program {
  const char* name;
  const char* binary;
};

const Program kPrograms[] = {
    {"orvelt", ORVELT_BINARY},
    {"orveltd", ORVELTD_BINARY},
    {"orvelt-web", ORVELT_WEB_BINARY},
    {"orvelt-db", ORVELT_DB_BINARY},
};

ProgramResult test_config(const Program& program, const std::string& path) {
  ProgramRun run;
  run.program = program.binary;
  run.args = {"-t", "-c", path};
  return run_program(run);
}

TEST(TestOption, EveryProgramPrintsTheProblemsAndExits1) {
  TempDir dir;
  const std::string path =
      dir.write("orvelt.cfg",
                "server ldap.example.org\npersonal ye\nblockexpire abc\nmtatimeout 5x\n"
                "lmtp_workers 4\nweb_session_idle 30\nforceheader /nonexistent/header\n"
                "charset NO-SUCH-CHARSET\nbogus 1\nweb_binddn cn=orvelt-web,dc=example,dc=org\n");
  const std::string expected =
      path + ":2: personal: \"ye\" is not yes or no\n" + path +
      ":3: blockexpire: \"abc\" is not a number from 0 to 1000000\n" + path +
      ":4: mtatimeout: \"5x\" is not a number from 1 to 86400\n" + path +
      ":7: forceheader /nonexistent/header: No such file or directory\n" + path +
      ":8: charset: \"NO-SUCH-CHARSET\" is not a charset iconv converts "
      "UTF-8 into\n" +
      path + ":9: Unknown config directive: bogus\n" + path +
      ":10: web_binddn without web_bindpw\n";
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.name);
    const ProgramResult result = test_config(program, path);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, expected);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.log.empty());
  }
}

// A sound file: nothing printed, exit 0, and nothing started: orveltd makes
// no socket, orvelt answers nothing.
TEST(TestOption, ASoundFileExits0AndStartsNothing) {
  TempDir dir;
  const std::string socket = dir.file("lmtp");
  const std::string path =
      dir.write("orvelt.cfg",
                "server 127.0.0.1\nport 1\npersonal yes\nlmtp_listen unix:" + socket +
                    "\nweb_listen 127.0.0.1:1\nmta /bin/false\ncharset ISO-8859-15//TRANSLIT\n");
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.name);
    const ProgramResult result = test_config(program, path);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.log.empty());
    EXPECT_NE(access(socket.c_str(), F_OK), 0);
  }
}

TEST(TestOption, AFileThatCannotBeReadExits1) {
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.name);
    const ProgramResult result = test_config(program, "/nonexistent/orvelt.cfg");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "/nonexistent/orvelt.cfg: No such file or directory\n");
    EXPECT_TRUE(result.log.empty());
  }
}

}  // namespace
