// The shipped sample configuration must load cleanly and describe the
// defaults truthfully: its active lines set every field to its default, and
// its commented-out examples are real directives.
#include <gtest/gtest.h>
#include <fstream>
#include <sstream>

#include "config/config.h"
#include "config/expect_default_config.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// The copy that is installed: etc/orvelt.cfg with the configured paths.
constexpr const char* kSamplePath = ORVELT_SAMPLE_CONFIG;

std::string read_sample() {
  std::ifstream in(kSamplePath, std::ios::binary);
  EXPECT_TRUE(in) << kSamplePath;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every active line states a default, but these: the sample asks for the
// status that makes an MTA try again later, for leaving automatic mail
// (spam verdicts among it) unanswered, for answering only mail addressed to
// the person, once per text, on the person's own interval, for the
// header file in the configured directory, which gives an MTA run with -t
// its recipient, and for the search that heeds a vacation's dates.
TEST(SampleConfig, ActiveLinesSetEveryDefaultButFailstatusAndRfc3834) {
  LogCapture capture;
  config_read_file(kSamplePath);
  EXPECT_TRUE(capture.records().empty()) << capture.records().front().text;

  EXPECT_EQ(g_config.failstatus, 75);
  EXPECT_TRUE(g_config.rfc3834);
  ASSERT_EQ(g_config.noreply_headers.size(), 3u);
  EXPECT_EQ(g_config.noreply_headers[0].name, "X-Spam-Flag");
  EXPECT_EQ(g_config.noreply_headers[0].pattern, "^yes");
  g_config.failstatus = 1;
  g_config.rfc3834 = false;
  EXPECT_TRUE(g_config.personal);
  EXPECT_EQ(g_config.alias_attributes, StringList{"mail"});
  g_config.personal = false;
  g_config.alias_attributes.clear();
  g_config.noreply_headers.clear();
  EXPECT_TRUE(g_config.track_text);
  EXPECT_EQ(g_config.blockexpire_attribute, "vacationInterval");
  g_config.track_text = false;
  g_config.blockexpire_attribute.reset();
  EXPECT_EQ(g_config.forceheader, ORVELT_CONFIG_DIR "/header");
  g_config.forceheader.reset();
  EXPECT_EQ(g_config.queryfilter,
            "(&(mail=$recepient)(vacationActive=TRUE)(|(!(vacationStart=*))(vacationStart<=$now))"
            "(|(!(vacationEnd=*))(vacationEnd>=$now)))");
  g_config.queryfilter = "(&(mail=$recepient)(vacationActive=TRUE))";
  expect_default_config();
}

// Lines such as "#login cn=..." are examples for the directives that are not
// set by default. Uncommented, each must be taken as the directive it names.
TEST(SampleConfig, CommentedExamplesAreDirectives) {
  std::istringstream sample(read_sample());
  std::string uncommented;
  int examples = 0;
  for (std::string line; std::getline(sample, line);) {
    if (line.size() > 1 && line[0] == '#' &&
        ((line[1] >= 'a' && line[1] <= 'z') || line[1] == '_')) {
      line.erase(0, 1);
      ++examples;
    }
    uncommented += line + "\n";
  }
  ASSERT_GT(examples, 0);

  TempDir dir;
  LogCapture capture;
  config_read_file(dir.write("orvelt.cfg", uncommented).c_str());
  EXPECT_TRUE(capture.records().empty()) << capture.records().front().text;

  EXPECT_NE(g_config.base, "");
  EXPECT_TRUE(g_config.login);
  EXPECT_TRUE(g_config.password);
  EXPECT_TRUE(g_config.charset);
  EXPECT_TRUE(g_config.badheaders);
  EXPECT_TRUE(g_config.blacklist);
  EXPECT_TRUE(g_config.forceheader);
  EXPECT_TRUE(g_config.forcefooter);
  EXPECT_TRUE(g_config.tls_cacert);
  EXPECT_EQ(g_config.recipient_delimiter, "+");
  EXPECT_EQ(g_config.map_field_placeholders.size(), 1u);
  EXPECT_EQ(g_config.map_date_placeholders.size(), 1u);
  EXPECT_NE(g_config.queryfilter.find("(vacationEnd>=$now)"), std::string::npos);
  EXPECT_FALSE(g_config.internal_domains.empty());
  EXPECT_TRUE(g_config.internal_result);
  EXPECT_FALSE(g_config.blockstore.empty());
  EXPECT_TRUE(g_config.blockstore_password);
  EXPECT_TRUE(g_config.web_binddn);
  EXPECT_TRUE(g_config.web_bindpw);
  ASSERT_EQ(g_config.map_field_attributes.size(), 2u);
  EXPECT_EQ(g_config.map_field_attributes.back(), "vacationInfo");
  // The recommended mta lines are among the examples; either gives the MTA
  // the null envelope sender and keeps a lone dot from ending the reply.
  EXPECT_NE(g_config.mta_args.find("-oi"), std::string::npos);
  EXPECT_NE(g_config.mta_args.find("-f <>"), std::string::npos);
}

}  // namespace
