// personal and alias_attributes through the built program: a receiver is
// answered only for mail that names one of its own addresses, never for
// its own mail, and a person with several addresses has one block record,
// under the first of them, in the block files and on Redis alike.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <string>
#include <vector>

#include "store/block_record.h"
#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/redis_server.h"
#include "support/run_program.h"
#include "support/shared_directory_test.h"

namespace {

// Jane has two mail values; the first is her canonical address.
constexpr const char* kJane = "jane@site";
constexpr const char* kJaneAlias = "jane.doe@site";
const std::string kPersonal =
    "personal yes\nalias_attributes mail\nrecipient_delimiter +\nloglevel 3\n";
const std::string kNotAddressed = "DEBUG/MAIL not addressed personally: ";

std::string message(const std::string& from, const std::string& headers) {
  return "From: " + from + "\n" + headers + "Subject: Lunch?\n\nAre you free?\n";
}

class PersonalTest : public SharedDirectoryTest {
 protected:
  static void SetUpTestSuite() {
    // Both mail values on adjacent lines: the test server keeps lines of
    // one attribute apart when others stand between them.
    start_directory(ldif_people_unit() +
                    "dn: uid=jane,ou=people,dc=example,dc=org\n"
                    "objectClass: inetOrgPerson\nobjectClass: orveltVacation\n"
                    "uid: jane\ncn: Jane\nsn: Doe\nmail: jane@site\nmail: jane.doe@site\n"
                    "vacationActive: TRUE\n" +
                    ldif_line("vacationInfo", "$recepient is away.\n") + "\n" +
                    ldif_person("bob", "bob@site", "TRUE", {"$recepient is away.\n"}));
  }

  ProgramResult run(const std::string& text, const std::string& extra,
                    std::vector<std::string> args = {}) const {
    args.insert(args.begin(), {"-c", base_config().add(extra).write(dir_)});
    ProgramRun run;
    run.args = args;
    run.stdin_text = text;
    return run_program(run);
  }

  std::string block_file(const std::string& receiver) const { return blockdir_ + "/" + receiver; }

  // The receivers named in the replies' texts, in the order they went out.
  static std::vector<std::string> answered(const RecordingMta& mta) {
    std::vector<std::string> who;
    for (const MtaCall& call : mta.calls()) {
      const std::string& text = call.stdin_text;
      who.push_back(text.substr(0, text.find(" is away.")));
    }
    return who;
  }
};

// Each message comes from a sender of its own, with blocks on, so that a
// record of one case cannot decide another.
TEST_F(PersonalTest, AnsweredOnlyWhenNamed) {
  struct Case {
    const char* name;
    std::string headers;
    std::vector<std::string> args;     // the MTA's receivers (-a), if any
    std::vector<std::string> replies;  // whom a reply was made for
    std::string debug;                 // the line that says why not, if any
  } cases[] = {
      {"To", "To: jane@site\n", {}, {kJane}, ""},
      {"Cc, a display name and another case",
       "To: other@host\nCc: Jane <JANE@Site>\n",
       {},
       {kJane},
       ""},
      {"Bcc kept in the header", "To: other@host\nBcc: jane@site\n", {"-a", kJane}, {kJane}, ""},
      {"a blind copy", "To: other@host\n", {"-a", kJane}, {}, kNotAddressed + kJane},
      {"Resent-To", "To: other@host\nResent-To: jane@site\n", {"-a", kJane}, {kJane}, ""},
      {"Resent-Cc", "To: other@host\nResent-Cc: x@host, jane@site\n", {"-a", kJane}, {kJane}, ""},
      {"Resent-Bcc", "To: other@host\nResent-Bcc: jane@site\n", {"-a", kJane}, {kJane}, ""},
      {"a list without list headers",
       "To: friends@lists\n",
       {"-a", kJane},
       {},
       kNotAddressed + kJane},
      {"a header that is not weighed",
       "To: friends@lists\nDelivered-To: jane@site\n",
       {"-a", kJane},
       {},
       kNotAddressed + kJane},
      {"an alias", "To: jane.doe@site\n", {}, {kJaneAlias}, ""},
      {"an alias as the receiver, the first address named",
       "To: jane@site\n",
       {"-a", kJaneAlias},
       {kJaneAlias},
       ""},
      {"an extension on the receiver", "To: Jane+Holiday@site\n", {}, {kJane}, ""},
      {"an extension named, none on the receiver",
       "To: jane+holiday@site\n",
       {"-a", kJane},
       {kJane},
       ""},
      {"an extension on an alias", "To: jane.doe+x@site\n", {}, {kJaneAlias}, ""},
      {"one of two receivers named",
       "To: bob@site\n",
       {"-a", kJane, "-a", "bob@site"},
       {"bob@site"},
       kNotAddressed + kJane},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string sender = "s" + std::to_string(++number) + "@host";
    RecordingMta mta;
    const ProgramResult r = run(message(sender, c.headers), kPersonal + "blockexpire 48\n", c.args);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(answered(mta), c.replies);
    // Jane's replies are recorded under her first address, whichever was used.
    const bool jane_answered =
        std::any_of(c.replies.begin(), c.replies.end(),
                    [](const std::string& who) { return who != "bob@site"; });
    EXPECT_EQ(gdbm_holds(block_file(kJane), sender), jane_answered);
    EXPECT_FALSE(gdbm_holds(block_file(kJaneAlias), sender));
    if (!c.debug.empty()) {
      EXPECT_TRUE(logged(r.log, LOG_DEBUG, c.debug)) << c.debug;
    }
  }
}

// Without the directive the very same messages are answered, whoever they
// name, under the receiver's own record.
TEST_F(PersonalTest, OffByDefault) {
  RecordingMta mta;
  for (const char* to : {"friends@lists", "jane.doe@site"}) {
    const ProgramResult r = run(message("box@host", std::string("To: ") + to + "\n"),
                                "alias_attributes mail\nblockexpire 48\n", {"-a", kJaneAlias});
    EXPECT_EQ(r.exit_status, 0) << r.err;
  }
  EXPECT_EQ(answered(mta), (std::vector<std::string>{kJaneAlias}));
  EXPECT_TRUE(gdbm_holds(block_file(kJaneAlias), "box@host"));
  EXPECT_FALSE(gdbm_holds(block_file(kJane), "box@host"));
}

TEST_F(PersonalTest, OwnMailIsNotAnswered) {
  struct Case {
    const char* from;
    const char* logged_sender;
  } cases[] = {
      {"Jane <jane@site>", "jane@site"},
      {"JANE+test@Site", "jane+test@site"},
      {"jane.doe@site", "jane.doe@site"},
      {"Jane <jane.doe+notes@site>", "jane.doe+notes@site"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    RecordingMta mta;
    const ProgramResult r = run(message(c.from, "To: jane@site\n"), kPersonal);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_TRUE(
        logged(r.log, LOG_DEBUG, std::string("DEBUG/MAIL own address: ") + c.logged_sender));
  }
  // Another person's mail is answered: the rule is about the receiver.
  RecordingMta mta;
  EXPECT_EQ(run(message("bob@site", "To: jane@site\n"), kPersonal).exit_status, 0);
  EXPECT_EQ(answered(mta), std::vector<std::string>{kJane});
}

// Below loglevel 3 a receiver left out says nothing.
TEST_F(PersonalTest, DebugLinesOnlyAtLoglevelThree) {
  RecordingMta mta;
  const ProgramResult r =
      run(message("jane@site", "To: friends@lists\n"), kPersonal + "loglevel 2\n", {"-a", kJane});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(mta.calls().empty());
  for (const LogRecord& record : r.log) EXPECT_NE(record.priority, LOG_DEBUG) << record.text;
}

// One person, two addresses: a sender is answered once, whichever address
// the message used and however many of them it used, and the one record
// is kept under the first mail value. Both stores.
TEST_F(PersonalTest, OneRecordPerPerson) {
  RedisServer redis;
  struct Case {
    const char* name;
    std::string blockstore;
  } cases[] = {{"gdbm", "gdbm"}, {"redis", redis.url()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string config = kPersonal + "blockexpire 48\nblockstore " + c.blockstore + "\n";
    const std::string sender = std::string("box-") + c.name + "@host";
    RecordingMta mta;
    const ProgramResult first = run(message(sender, "To: jane.doe@site\n"), config);
    const ProgramResult second = run(message(sender, "To: jane@site\n"), config);
    EXPECT_EQ(first.exit_status, 0) << first.err;
    EXPECT_EQ(second.exit_status, 0) << second.err;
    EXPECT_EQ(answered(mta), std::vector<std::string>{kJaneAlias});
    EXPECT_TRUE(logged(second.log, LOG_DEBUG, "DEBUG/MAIL blocked: " + sender + " & " + kJane));
    // The record is the canonical address's only.
    if (c.blockstore == "gdbm") {
      EXPECT_TRUE(gdbm_holds(block_file(kJane), sender));
      EXPECT_FALSE(gdbm_holds(block_file(kJaneAlias), sender));
    }
  }
  EXPECT_EQ(redis.keys(),
            std::vector<std::string>{redis_block_key("orvelt:", kJane, "box-redis@host")});
}

// Both addresses in one message are one person: one reply, also when no
// record is kept at all, and for a receiver given twice over its aliases.
TEST_F(PersonalTest, BothAddressesInOneMessageAnsweredOnce) {
  for (const char* blockexpire : {"0", "48"}) {
    SCOPED_TRACE(blockexpire);
    RecordingMta mta;
    const ProgramResult r =
        run(message("box@host", "To: jane@site, Jane Doe <jane.doe@site>, bob@site\n"),
            kPersonal + "blockexpire " + blockexpire + "\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(answered(mta), (std::vector<std::string>{kJane, "bob@site"}));
  }
}

}  // namespace
