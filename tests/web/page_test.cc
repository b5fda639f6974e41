// The HTML of the login form and the page, the senders still held back,
// and the preview.
#include "web/page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "store/block_record.h"
#include "web/blocked_senders.h"

namespace {

bool has(const std::string& page, const std::string& part) {
  return page.find(part) != std::string::npos;
}

TEST(PageTest, HtmlEscapeReplacesEveryMarkupCharacter) {
  EXPECT_EQ(html_escape("<script>alert(\"x\") & 'y'</script>"),
            "&lt;script&gt;alert(&quot;x&quot;) &amp; &#39;y&#39;&lt;/script&gt;");
  EXPECT_EQ(html_escape("plain \xc3\xbc text"), "plain \xc3\xbc text");
  EXPECT_EQ(html_escape("&amp;"), "&amp;amp;");
}

// Every value in the page carries this; none may reach it unescaped.
const std::string kHostile = "\"'><img src=x onerror=alert(1)>";

PageView hostile_view() {
  PageView view;
  view.login = kHostile;
  view.csrf = kHostile;
  view.start = kHostile;
  view.end = kHostile;
  view.zone = kHostile;
  view.text = kHostile;
  view.internal_text = kHostile;
  view.interval = kHostile;
  view.preview = kHostile;
  view.blocked = {{kHostile, kHostile, true}};
  view.errors = {{"text", kHostile}, {"start", kHostile}, {"tz", kHostile}};
  view.notes = {{"end", kHostile}};
  view.version = kHostile;
  view.internal_preview = kHostile;
  view.preview_sender = kHostile;
  view.internal_preview_sender = kHostile;
  view.message = kHostile;
  view.dates_need_filter = true;
  view.now_placeholder = kHostile;
  return view;
}

TEST(PageTest, NoValueReachesThePageUnescaped) {
  const std::string page = render_page(hostile_view());
  EXPECT_FALSE(has(page, "<img")) << page;
  EXPECT_FALSE(has(page, "'>")) << page;
  EXPECT_TRUE(has(page, "&quot;&#39;&gt;&lt;img src=x onerror=alert(1)&gt;"));
  const std::string login = render_login(kHostile, kHostile);
  EXPECT_FALSE(has(login, "<img")) << login;
  EXPECT_FALSE(has(login, "'>")) << login;
}

TEST(PageTest, ThePageShowsItsPartsWithTheirIds) {
  PageView view;
  view.login = "jane@site";
  view.csrf = "c5rf";
  view.active = true;
  view.start = "2024-07-01T08:00";
  view.zone = "Europe/Berlin";
  view.text = "\nStarts with a line break";
  view.preview = "Subject: Away\n\nAway.";
  view.blocked = {{"new@site", "2024-07-02 10:00", true}, {"old@site", "2024-07-01 09:00", false}};
  view.errors = {{"end", "Until must be after from."}};
  view.notes = {{"start", "02:30 does not exist on 29 March; saved as 03:30"}};
  view.version = "0123456789abcdef";
  view.message = "Not saved.";
  const std::string page = render_page(view);
  for (const char* part :
       {"<meta name=\"viewport\"",
        "Out of office is on",
        "<p id=\"message\" role=\"alert\">Not saved.</p>",
        "<input type=\"hidden\" name=\"csrf\" id=\"csrf\" value=\"c5rf\">",
        "<input type=\"hidden\" name=\"tz\" id=\"tz\" value=\"Europe/Berlin\">",
        "<input type=\"hidden\" name=\"dates_tz\" id=\"dates_tz\" value=\"Europe/Berlin\">",
        "<input type=\"hidden\" name=\"version\" id=\"version\" value=\"0123456789abcdef\">",
        "value=\"2024-07-01T08:00\"> <span class=\"note\" id=\"start-note\">02:30 does not exist "
        "on 29 March; saved as 03:30</span>",
        "name=\"active\" value=\"on\" checked>",
        "<label for=\"active\">",
        "<label for=\"start\">",
        "type=\"datetime-local\" id=\"start\" name=\"start\" value=\"2024-07-01T08:00\">",
        "<label for=\"end\">",
        "id=\"end\" name=\"end\" value=\"\"> <span class=\"error\" id=\"end-error\">Until must be "
        "after from.</span>",
        "<label for=\"text\">",
        "<textarea id=\"text\" name=\"text\" rows=\"8\">\n\nStarts with",
        "<pre id=\"preview\">Subject: Away\n\nAway.</pre>",
        "<ul id=\"blocked\">",
        "<li>new@site (2024-07-02 10:00) (pending)</li>\n<li>old@site (2024-07-01 09:00)</li>",
        "<button type=submit>Save</button>",
        "<button type=submit>Log out</button>",
        "<script src=\"/tz.js\"></script>"}) {
    EXPECT_TRUE(has(page, part)) << part << "\n" << page;
  }
  for (const char* absent :
       {"internal_text", "id=\"interval\"", "Dates take effect", "error\" id=\"text-error"}) {
    EXPECT_FALSE(has(page, absent)) << absent;
  }
  EXPECT_TRUE(has(render_page(PageView{}), "Out of office is off"));
}

TEST(PageTest, OptionalFieldsAndTheFilterNoteAppearWhenAsked) {
  PageView view;
  view.internal_text = "For colleagues";
  view.interval = "24";
  view.interval_min = 1;
  view.interval_max = 1440;
  view.dates_need_filter = true;
  view.now_placeholder = "$now";
  const std::string page = render_page(view);
  EXPECT_TRUE(has(page, "<label for=\"internal_text\">"));
  EXPECT_TRUE(has(page, "name=\"internal_text\" rows=\"8\">\nFor colleagues</textarea>"));
  EXPECT_TRUE(has(page, "<label for=\"interval\">"));
  EXPECT_TRUE(has(page, "id=\"interval\" name=\"interval\" min=\"1\" max=\"1440\" value=\"24\">"));
  EXPECT_TRUE(has(page, "Dates take effect only with a query filter that uses $now"));
}

TEST(PageTest, TheLoginFormHasLabelledFieldsAndOneMessage) {
  const std::string form = render_login("jane@site", "Wrong address or password.");
  for (const char* part :
       {"<form method=\"post\" action=\"/login\">", "<label for=\"login\">",
        "id=\"login\" name=\"login\"", "value=\"jane@site\"", "<label for=\"password\">",
        "type=\"password\" id=\"password\" name=\"password\"",
        "<button type=submit>Log in</button>",
        "<p id=\"message\" role=\"alert\">Wrong address or password.</p>",
        "<input type=\"hidden\" name=\"tz\" id=\"tz\" value=\"\">",
        "<script src=\"/tz.js\"></script>"}) {
    EXPECT_TRUE(has(form, part)) << part;
  }
  EXPECT_FALSE(has(render_login("", ""), "id=\"message\""));
}

TEST(PageTest, OnlyRecordsThatStillHoldASenderBackAreListedNewestFirst) {
  const int64_t now = 1'700'000'000;
  const int64_t hour = 3600;
  auto entry = [](const char* sender, std::optional<int64_t> time) {
    BlockEntry e;
    e.receiver = "jane@site";
    e.sender = sender;
    e.time = time;
    return e;
  };
  std::vector<BlockEntry> records;
  records.push_back(entry("recent@site", now - hour));
  records.push_back(entry("expired@site", now - 49 * hour));
  BlockEntry own = entry("own-period@site", now - 49 * hour);
  own.period = 72 * hour;
  records.push_back(own);
  BlockEntry pending = entry("pending@site", now - 10);
  pending.lease = 180;
  records.push_back(pending);
  BlockEntry lapsed = entry("lapsed@site", now - 1000);
  lapsed.lease = 180;
  records.push_back(lapsed);
  records.push_back(entry("unreadable@site", std::nullopt));
  records.push_back(entry("future@site", now + 2 * kBlockFutureSlackSeconds));
  records.push_back(entry("tagged@site", now - 2 * hour));
  records.back().tag = "e0123456789abcdef";

  const std::vector<BlockedSender> blocked = still_blocking(records, now, 48);
  std::vector<std::string> senders;
  for (const BlockedSender& b : blocked)
    senders.push_back(b.sender + (b.pending ? " pending" : ""));
  EXPECT_EQ(senders, (std::vector<std::string>{"pending@site pending", "recent@site", "tagged@site",
                                               "own-period@site"}));
  EXPECT_EQ(blocked[1].time, now - hour);
}

TEST(PageTest, TheRecordsAreThoseOrveltKeepsForThePerson) {
  config_set_defaults();
  DirectoryEntry entry;
  entry.first_address = "Canon@Site";
  EXPECT_EQ(block_receiver_of("Jane+news@Site", entry), "jane+news@site");
  g_config.recipient_delimiter = "+";
  EXPECT_EQ(block_receiver_of("Jane+news@Site", entry), "jane@site");
  g_config.alias_attributes = {"mailAlternateAddress"};
  EXPECT_EQ(block_receiver_of("jane@site", entry), "jane@site")
      << "aliases count only with personal";
  g_config.personal = true;
  EXPECT_EQ(block_receiver_of("jane@site", entry), "canon@site");
  entry.first_address.reset();
  EXPECT_EQ(block_receiver_of("jane@site", entry), "jane@site");
  EXPECT_EQ(block_receiver_of("<a@b, victim@c>", entry), "");
  config_set_defaults();
}

TEST(PageTest, ThePreviewIsTheReplyToASampleMessage) {
  config_set_defaults();
  VacationSettings settings;
  settings.entry.text = "I am away, $recepient.\n";
  const ReplyFrame frame{"To: $sender\nSubject: Re: $subject\nIn-Reply-To: $messageid\n\n",
                         "--\nfooter\n"};
  EXPECT_EQ(preview_reply(frame, settings, "jane@site", "sender@example.com"),
            "To: sender@example.com\nSubject: Re: Hello\nIn-Reply-To: <preview@example.com>\n\n"
            "I am away, jane@site.\n--\nfooter\n");
  settings.entry.text.reset();
  EXPECT_FALSE(preview_reply(frame, settings, "jane@site", "sender@example.com"));
}

TEST(PageTest, WithInternalTextsBothPreviewsAreShownFromSendersOnEitherSide) {
  config_set_defaults();
  VacationSettings settings;
  settings.entry.text = "Away.";
  settings.entry.internal_text = "Ask Bob.";
  const ReplyFrame frame{"To: $sender\n\n", ""};
  PageView view;
  add_previews(view, frame, settings, "jane@example.com");
  EXPECT_EQ(view.preview, "To: sender@example.com\n\nAway.");
  EXPECT_FALSE(view.internal_preview) << "no internal texts in use";
  EXPECT_FALSE(has(render_page(view), "preview-internal"));

  g_config.internal_result = "vacationInfoInternal";
  g_config.internal_domains = {"Example.com", "example.net"};
  view = PageView{};
  add_previews(view, frame, settings, "jane@example.com");
  EXPECT_EQ(view.preview, "To: sender@example.org\n\nAway.");
  EXPECT_EQ(view.internal_preview, "To: colleague@Example.com\n\nAsk Bob.");
  const std::string page = render_page(view);
  EXPECT_TRUE(has(page,
                  "<h3>To others (from sender@example.org)</h3>\n<pre id=\"preview\">To: "
                  "sender@example.org\n\nAway.</pre>"))
      << page;
  EXPECT_TRUE(has(page,
                  "<h3>To colleagues (from colleague@Example.com)</h3>\n"
                  "<pre id=\"preview-internal\">To: colleague@Example.com\n\nAsk Bob.</pre>"))
      << page;
  config_set_defaults();
}

}  // namespace
