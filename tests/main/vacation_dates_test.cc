// Scheduled vacations, dates in the reply and texts for internal senders:
// the built program against a directory with the shipped schema, replies
// seen through the recording MTA.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "util/generalized_time.h"

namespace {

const std::string kScheduledFilter =
    "(&(mail=$recepient)(vacationActive=TRUE)(|(!(vacationStart=*))(vacationStart<=$now))"
    "(|(!(vacationEnd=*))(vacationEnd>=$now)))";

constexpr time_t kDay = 24 * 3600;

// t as GeneralizedTime in the zone one hour east of UTC: "...+0100".
std::string plus_one_hour(time_t t) {
  std::string text = generalized_time_utc(t + 3600);
  text.pop_back();
  return text + "+0100";
}

std::string dates(const std::string& start, const std::string& end) {
  std::string more;
  if (!start.empty()) more += "vacationStart: " + start + "\n";
  if (!end.empty()) more += "vacationEnd: " + end + "\n";
  return more;
}

std::string message(const std::string& from, const std::string& to) {
  return "From: Some Name <" + from + ">\nTo: " + to + "\nSubject: Lunch?\n\nAre you free?\n";
}

class VacationDatesTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }

  // The replies that one message gets (sorted), with the directives of
  // extra on top of the usual test configuration and TZ as given.
  std::vector<std::string> replies(const std::string& from, const std::string& to,
                                   const std::string& extra, const std::string& tz = "UTC0") {
    RecordingMta mta;
    ProgramRun run;
    run.args = {"-c",
                TestConfig(server_, blockdir_).set("blockexpire", "0").add(extra).write(dir_)};
    run.stdin_text = message(from, to);
    run.env = {"TZ=" + tz};
    const ProgramResult r = run_program(run);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> texts;
    for (const MtaCall& call : mta.calls()) texts.push_back(call.stdin_text);
    std::sort(texts.begin(), texts.end());
    return texts;
  }

  // The attribute list of the searches that the run with extra asked for.
  std::string requested_attributes(const std::string& extra) {
    const size_t mark = server_.log_mark();
    replies("box@host", "plain@site", extra);
    const std::string log = server_.log_since(mark);
    const size_t at = log.find(" SRCH attr=");
    if (at == std::string::npos) return "(no search)";
    const size_t start = at + 11;
    return log.substr(start, log.find('\n', start) - start);
  }

  static std::string directory() {
    const time_t now = time(nullptr);
    auto utc = [now](time_t delta) { return generalized_time_utc(now + delta); };
    return ldif_people_unit() +
           ldif_person("now", "now@site", "TRUE", {"now\n"}, dates(utc(-kDay), utc(kDay))) +
           ldif_person("tomorrow", "tomorrow@site", "TRUE", {"tomorrow\n"},
                       dates(utc(kDay), utc(2 * kDay))) +
           ldif_person("yesterday", "yesterday@site", "TRUE", {"yesterday\n"},
                       dates(utc(-2 * kDay), utc(-kDay))) +
           ldif_person("started", "started@site", "TRUE", {"started\n"}, dates(utc(-kDay), "")) +
           ldif_person("starts", "starts@site", "TRUE", {"starts\n"}, dates(utc(kDay), "")) +
           ldif_person("open", "open@site", "TRUE", {"open end\n"}, dates("", utc(kDay))) +
           ldif_person("ended", "ended@site", "TRUE", {"ended\n"}, dates("", utc(-kDay))) +
           ldif_person("nodates", "nodates@site", "TRUE", {"no dates\n"}) +
           ldif_person("off", "off@site", "FALSE", {"off\n"}) +
           ldif_person("offnow", "offnow@site", "FALSE", {"off now\n"},
                       dates(utc(-kDay), utc(kDay))) +
           // Ends given in a zone one hour east of UTC, seconds away from
           // now; the last one's digits are UTC's in the future, but with
           // its offset it ended an hour ago.
           ldif_person("soon", "soon@site", "TRUE", {"ends soon\n"},
                       dates("", plus_one_hour(now + 30))) +
           ldif_person("just", "just@site", "TRUE", {"just ended\n"},
                       dates("", plus_one_hour(now - 30))) +
           ldif_person("hour", "hour@site", "TRUE", {"an hour ago\n"},
                       dates("", generalized_time_utc(now + 30).substr(0, 14) + "+0100")) +
           ldif_person("dated", "dated@site", "TRUE", {"Away from $from, back on $until.$note\n"},
                       dates("20261218080000Z", "20261224235959+0100")) +
           ldif_person("undated", "undated@site", "TRUE", {"[$from|$until|$note]\n"},
                       "description: 20261231120000Z\n") +
           ldif_person("int", "int@site", "TRUE", {"external $sender\n"},
                       ldif_line("vacationInfoInternal", "internal $sender for $recepient\n")) +
           ldif_person("plain", "plain@site", "TRUE", {"plain text\n"}) +
           ldif_person("onlyint", "onlyint@site", "TRUE", {},
                       ldif_line("vacationInfoInternal", "only internal\n"));
  }

  SlapdServer server_{SlapdOptions().entries(directory())};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
};

TEST_F(VacationDatesTest, TheDirectoryDecidesWhetherTheWindowIsNow) {
  struct Case {
    std::string to;
    std::vector<std::string> expected;
  } cases[] = {
      {"now@site", {"now\n"}},
      {"tomorrow@site", {}},
      {"yesterday@site", {}},
      {"started@site", {"started\n"}},
      {"starts@site", {}},
      {"open@site", {"open end\n"}},
      {"ended@site", {}},
      {"nodates@site", {"no dates\n"}},
      {"off@site", {}},
      {"offnow@site", {}},
      {"soon@site", {"ends soon\n"}},
      {"just@site", {}},
      {"hour@site", {}},
  };
  const std::string config = "queryfilter " + kScheduledFilter + "\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    // The filter's time is UTC whatever the local zone.
    EXPECT_EQ(replies("box@host", c.to, config, "JST-9"), c.expected);
  }
}

TEST_F(VacationDatesTest, WithoutTheScheduledFilterDatesChangeNothing) {
  for (const char* to : {"tomorrow@site", "yesterday@site", "just@site"}) {
    SCOPED_TRACE(to);
    EXPECT_EQ(replies("box@host", to, "").size(), 1u);
  }
}

TEST_F(VacationDatesTest, DatesInTheTextInLocalTime) {
  const std::string map_dates =
      "map_date $until vacationEnd\nmap_date $from vacationStart\nmap_date $note description\n";
  struct Case {
    std::string to;
    std::string tz;
    std::string dateformat;  // empty: the default
    std::string expected;
  } cases[] = {
      // The end, 2026-12-24 23:59:59 one hour east of UTC, is 22:59:59 UTC.
      {"dated@site", "UTC0", "", "Away from 2026-12-18, back on 2026-12-24.\n"},
      {"dated@site", "JST-9", "", "Away from 2026-12-18, back on 2026-12-25.\n"},
      {"dated@site", "EST5", "%d.%m.%Y %H:%M %Z",
       "Away from 18.12.2026 03:00 EST, back on 24.12.2026 17:59 EST.\n"},
      {"dated@site", "CET-1CEST,M3.5.0,M10.5.0/3", "%A %e %B %Y, %H:%M:%S",
       "Away from Friday 18 December 2026, 09:00:00, back on Thursday 24 December 2026, "
       "23:59:59.\n"},
      // A value that needs too much room stays as it is.
      {"dated@site", "UTC0", std::string(300, 'x'),
       "Away from 20261218080000Z, back on 20261224235959+0100.\n"},
      // Attributes that the entry lacks give nothing; a GeneralizedTime in
      // a text attribute is still a date.
      {"undated@site", "UTC0", "", "[||2026-12-31]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz + " " + c.dateformat);
    std::string extra = map_dates;
    if (!c.dateformat.empty()) extra += "dateformat " + c.dateformat + "\n";
    EXPECT_EQ(replies("box@host", c.to, extra, c.tz), std::vector<std::string>{c.expected});
  }
}

TEST_F(VacationDatesTest, ValuesThatAreNoGeneralizedTimeStandAsTheyAre) {
  server_.add(
      "dn: uid=undated,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: description\n"
      "description: after Christmas\ndescription: 20261231120000Z\n");
  const std::string extra = "map_date $note description\nmap_date $until cn\n";
  EXPECT_EQ(replies("box@host", "undated@site", extra),
            std::vector<std::string>{"[$from|undated|after Christmas]\n"});
}

TEST_F(VacationDatesTest, InternalSendersGetTheInternalText) {
  const std::string internal =
      "internal_domains Example.ORG corp.example\ninternal_result vacationInfoInternal\n";
  struct Case {
    std::string from;
    std::string to;
    std::string extra;
    std::vector<std::string> expected;
  } cases[] = {
      {"box@example.org", "int@site", internal, {"internal box@example.org for int@site\n"}},
      {"Box@EXAMPLE.ORG", "int@site", internal, {"internal box@example.org for int@site\n"}},
      {"box@corp.example", "int@site", internal, {"internal box@corp.example for int@site\n"}},
      {"box@host", "int@site", internal, {"external box@host\n"}},
      {"box@sub.example.org", "int@site", internal, {"external box@sub.example.org\n"}},
      {"box@example.org.evil", "int@site", internal, {"external box@example.org.evil\n"}},
      {"example.org@host", "int@site", internal, {"external example.org@host\n"}},
      // An entry without the internal text answers everyone with its text.
      {"box@example.org", "plain@site", internal, {"plain text\n"}},
      {"box@host", "plain@site", internal, {"plain text\n"}},
      // An entry with only an internal text answers internal senders only.
      {"box@example.org", "onlyint@site", internal, {"only internal\n"}},
      {"box@host", "onlyint@site", internal, {}},
      // Both directives are needed.
      {"box@example.org",
       "int@site",
       "internal_domains example.org\n",
       {"external box@example.org\n"}},
      {"box@example.org",
       "int@site",
       "internal_result vacationInfoInternal\n",
       {"external box@example.org\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to + " / " + c.extra);
    EXPECT_EQ(replies(c.from, c.to, c.extra), c.expected);
  }
}

TEST_F(VacationDatesTest, InternalTextIsFramedLikeAnyOther) {
  TempDir files;
  const std::string extra =
      "internal_domains example.org\ninternal_result vacationInfoInternal\n"
      "forceheader " +
      files.write("header", "To: $sender\n\n") + "\nforcefooter " +
      files.write("footer", "-- $recepient\n") + "\n";
  EXPECT_EQ(replies("box@example.org", "int@site", extra),
            std::vector<std::string>{
                "To: box@example.org\n\ninternal box@example.org for int@site\n-- int@site\n"});
}

TEST_F(VacationDatesTest, SearchAsksOnlyForTheAttributesInUse) {
  struct Case {
    std::string extra;
    std::string attributes;
  } cases[] = {
      {"", "vacationInfo"},
      {"queryfilter " + kScheduledFilter + "\n", "vacationInfo"},
      {"map_field $name cn\nmap_date $until vacationEnd\n", "cn vacationInfo vacationEnd"},
      {"internal_domains example.org\ninternal_result vacationInfoInternal\n",
       "vacationInfo vacationInfoInternal"},
      {"internal_domains example.org\n", "vacationInfo"},
      {"internal_result vacationInfoInternal\n", "vacationInfo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    EXPECT_EQ(requested_attributes(c.extra), c.attributes);
  }
}

}  // namespace
