#include "config/config.h"
#include "config/expect_default_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// Reads text as a configuration file and returns what was logged.
std::vector<LogRecord> load(const std::string& text) {
  TempDir dir;
  LogCapture capture;
  config_read_file(dir.write("orvelt.cfg", text).c_str());
  return capture.records();
}

// Each directive's default, written as a line of the file, is taken
// without a word and gives the default record: the table's defaults are
// values its directives take.
TEST(Config, EveryDefaultIsAValueOfItsDirective) {
  std::string text;
  for (const ConfigDirective& d : config_directives()) {
    if (d.default_value != nullptr) text += std::string(d.name) + " " + d.default_value + "\n";
  }
  EXPECT_TRUE(load(text).empty());
  expect_default_config();
}

TEST(Config, EmptyOrCommentFileKeepsDefaults) {
  for (const std::string text : {"", "# only a comment\n\n#another\n"}) {
    EXPECT_TRUE(load(text).empty());
    expect_default_config();
  }
}

struct ConfigCase {
  const char* name;
  std::string text;
  std::function<void()> check;
};

TEST(Config, DirectiveTable) {
  const ConfigCase cases[] = {
      {"text directives",
       "login cn=x\npassword secret\nbadheaders /b\nblacklist /l\n"
       "forceheader /h\nforcefooter /f\nserver a b\nbase dc=x\nqueryfilter (uid=$recepient)\n"
       "charset ISO-8859-1\nmap_sender %s\nmap_receiver %r\nblockfiles /blk\nmap_subject %j\n",
       [] {
         EXPECT_EQ(g_config.login, "cn=x");
         EXPECT_EQ(g_config.password, "secret");
         EXPECT_EQ(g_config.badheaders, "/b");
         EXPECT_EQ(g_config.blacklist, "/l");
         EXPECT_EQ(g_config.forceheader, "/h");
         EXPECT_EQ(g_config.forcefooter, "/f");
         EXPECT_EQ(g_config.server, "a b");
         EXPECT_EQ(g_config.base, "dc=x");
         EXPECT_EQ(g_config.queryfilter, "(uid=$recepient)");
         EXPECT_EQ(g_config.charset, "ISO-8859-1");
         EXPECT_EQ(g_config.map_sender, "%s");
         EXPECT_EQ(g_config.map_receiver, "%r");
         EXPECT_EQ(g_config.blockfiles, "/blk");
         EXPECT_EQ(g_config.map_subject, "%j");
       }},
      {"any letter case", "Port 1389\nPORT 2389\nscope SUB\nScope one\n",
       [] {
         EXPECT_EQ(g_config.port, 2389);
         EXPECT_EQ(g_config.scope, 1);
       }},
      {"scope base", "scope base\n", [] { EXPECT_EQ(g_config.scope, 0); }},
      {"protocol 3", "protocol 3\n", [] { EXPECT_EQ(g_config.protocol, 3); }},
      {"protocol 2", "protocol 2\n", [] { EXPECT_EQ(g_config.protocol, 2); }},
      {"spaces around and inside the value", "base    dc=a,  dc=b   \n",
       [] { EXPECT_EQ(g_config.base, "dc=a,  dc=b"); }},
      {"trailing text stays in text values", "base dc=x # comment\n",
       [] { EXPECT_EQ(g_config.base, "dc=x # comment"); }},
      {"carriage returns stay in text values", "base dc=x\r\n",
       [] { EXPECT_EQ(g_config.base, "dc=x\r"); }},
      {"last line without newline", "loglevel 3", [] { EXPECT_EQ(g_config.loglevel, 3); }},
      {"numbers at their bounds, leading zeros",
       "port 65535\nblockexpire 0\nmaxreceivers 007\nloglevel 0\nfailstatus 255\n"
       "lmtp_workers 256\nlmtp_timeout 86400\nldap_idle 0\nlmtp_peer_limit 0\n",
       [] {
         EXPECT_EQ(g_config.port, 65535);
         EXPECT_EQ(g_config.blockexpire, 0);
         EXPECT_EQ(g_config.maxreceivers, 7);
         EXPECT_EQ(g_config.loglevel, 0);
         EXPECT_EQ(g_config.failstatus, 255);
         EXPECT_EQ(g_config.lmtp_workers, 256);
         EXPECT_EQ(g_config.lmtp_timeout, 86400);
         EXPECT_EQ(g_config.ldap_idle, 0);
         EXPECT_EQ(g_config.lmtp_peer_limit, 0);
       }},
      {"maxheader stores two more", "maxheader 100\n", [] { EXPECT_EQ(g_config.maxheader, 102); }},
      {"maxheader 0 gives 2", "maxheader 0\n", [] { EXPECT_EQ(g_config.maxheader, 2); }},
      {"maxheader 256 gives 258", "maxheader 256\n", [] { EXPECT_EQ(g_config.maxheader, 258); }},
      {"umask octal", "umask 644\n", [] { EXPECT_EQ(g_config.create_mode, 0644); }},
      {"umask leading zero", "umask 0644\n", [] { EXPECT_EQ(g_config.create_mode, 420); }},
      {"umask keeps permission bits only", "umask 7777\n",
       [] { EXPECT_EQ(g_config.create_mode, 0777); }},
      {"lmtp_socket_mode octal", "lmtp_socket_mode 666\n",
       [] { EXPECT_EQ(g_config.lmtp_socket_mode, 0666); }},
      {"charset with and without iconv's suffixes",
       "charset ISO-8859-15//TRANSLIT\ncharset us-ascii//IGNORE\ncharset UTF-8\n",
       [] { EXPECT_EQ(g_config.charset, "UTF-8"); }},
      {"charset //TRANSLIT", "charset US-ASCII//TRANSLIT\n",
       [] { EXPECT_EQ(g_config.charset, "US-ASCII//TRANSLIT"); }},
      {"mta with arguments, then program alone keeps them",
       "mta /usr/sbin/sendmail -oi  -f <>\nmta /opt/other\n",
       [] {
         EXPECT_EQ(g_config.mta, "/opt/other");
         EXPECT_EQ(g_config.mta_args, "-oi  -f <>");
       }},
      {"mta with two argument words", "mta /bin/x -a -b\n",
       [] {
         EXPECT_EQ(g_config.mta, "/bin/x");
         EXPECT_EQ(g_config.mta_args, "-a -b");
       }},
      {"recvheader replaces the list",
       "recvheader to   cc bcc\nrecvheader X-To Delivered-To resent-to\n",
       [] {
         EXPECT_EQ(g_config.recvheader, (StringList{"X-To", "Delivered-To", "resent-to"}));
       }},
      {"map_field pairs, duplicates kept, result last",
       "map_field $name cn\nresult info\nmap_field $name cn\nmap_field $g  given  "
       "name\n",
       [] {
         EXPECT_EQ(g_config.map_field_placeholders, (StringList{"$name", "$name", "$g"}));
         EXPECT_EQ(g_config.map_field_attributes, (StringList{"cn", "cn", "given  name", "info"}));
       }},
      {"map_date pairs kept apart from map_field, and the result stays last",
       "map_date $until vacationEnd\nmap_field $name cn\nMAP_DATE $from  vacation "
       "start\n",
       [] {
         EXPECT_EQ(g_config.map_date_placeholders, (StringList{"$until", "$from"}));
         EXPECT_EQ(g_config.map_date_attributes, (StringList{"vacationEnd", "vacation start"}));
         EXPECT_EQ(g_config.map_field_attributes, (StringList{"cn", "vacationInfo"}));
       }},
      {"dates, now and internal texts",
       "map_now %now\ndateformat %d.%m.%Y  %H:%M\ninternal_domains example.org  Sub.Example.ORG "
       "\ninternal_result vacationInfoInternal\n",
       [] {
         EXPECT_EQ(g_config.map_now, "%now");
         EXPECT_EQ(g_config.dateformat, "%d.%m.%Y  %H:%M");
         EXPECT_EQ(g_config.internal_domains, (StringList{"example.org", "Sub.Example.ORG"}));
         EXPECT_EQ(g_config.internal_result, "vacationInfoInternal");
       }},
      {"blockstore lists the Redis servers in order, with password and prefix",
       "blockstore redis://a.example:6380/2   unix:/run/redis.sock \nblockstore_password p w\n"
       "blockstore_prefix mx:\n",
       [] {
         EXPECT_EQ(g_config.blockstore,
                   (StringList{"redis://a.example:6380/2", "unix:/run/redis.sock"}));
         EXPECT_EQ(g_config.blockstore_password, "p w");
         EXPECT_EQ(g_config.blockstore_prefix, "mx:");
       }},
      {"blockstore gdbm in any case is the default store again",
       "blockstore redis://a\nblockstore GDBM\n", [] { EXPECT_TRUE(g_config.blockstore.empty()); }},
      {"internal_domains replaces the list",
       "internal_domains a.org b.org\ninternal_domains c.org\n",
       [] { EXPECT_EQ(g_config.internal_domains, StringList{"c.org"}); }},
      {"text or list directive without value does nothing",
       "login\nbase dc=x\nbase\nrecvheader\nmta_env\n   \n",
       [] {
         EXPECT_FALSE(g_config.login);
         EXPECT_EQ(g_config.base, "dc=x");
         EXPECT_EQ(g_config.recvheader, (StringList{"to", "cc"}));
       }},
      {"rfc3834 yes", "rfc3834 YES\n", [] { EXPECT_TRUE(g_config.rfc3834); }},
      {"rfc3834 no", "rfc3834 yes\nrfc3834 no\n", [] { EXPECT_FALSE(g_config.rfc3834); }},
      {"track_text yes", "track_text Yes\n", [] { EXPECT_TRUE(g_config.track_text); }},
      {"track_text no", "track_text yes\ntrack_text no\n",
       [] { EXPECT_FALSE(g_config.track_text); }},
      {"the own interval's attribute and bounds",
       "blockexpire_attribute vacationInterval\n"
       "blockexpire_min 0\nblockexpire_max 72\n",
       [] {
         EXPECT_EQ(g_config.blockexpire_attribute, "vacationInterval");
         EXPECT_EQ(g_config.blockexpire_min, 0);
         EXPECT_EQ(g_config.blockexpire_max, 72);
       }},
      {"tls ldaps", "tls ldaps\ntls_cacert /etc/ca.pem\n",
       [] {
         EXPECT_EQ(g_config.tls, DirectoryTls::kLdaps);
         EXPECT_EQ(g_config.tls_cacert, "/etc/ca.pem");
       }},
      {"tls starttls", "tls StartTLS\n", [] { EXPECT_EQ(g_config.tls, DirectoryTls::kStartTls); }},
      {"tls none", "tls ldaps\ntls none\n", [] { EXPECT_EQ(g_config.tls, DirectoryTls::kNone); }},
      {"last line wins", "server a\nserver b\n", [] { EXPECT_EQ(g_config.server, "b"); }},
      {"personal yes; alias_attributes replaces the list",
       "PERSONAL Yes\nalias_attributes mail x\nalias_attributes mail  alt\n",
       [] {
         EXPECT_TRUE(g_config.personal);
         EXPECT_EQ(g_config.alias_attributes, (StringList{"mail", "alt"}));
       }},
      {"personal no", "personal yes\npersonal no\n", [] { EXPECT_FALSE(g_config.personal); }},
      {"noreply_header repeats; the pattern is the rest of the line, kept as written",
       "noreply_header X-Spam-Flag ^yes\nNOREPLY_HEADER x-spam  ^(yes|spam) [0-9]+ \n",
       [] {
         ASSERT_EQ(g_config.noreply_headers.size(), 2u);
         EXPECT_EQ(g_config.noreply_headers[0].name, "X-Spam-Flag");
         EXPECT_EQ(g_config.noreply_headers[0].pattern, "^yes");
         EXPECT_EQ(g_config.noreply_headers[1].name, "x-spam");
         EXPECT_EQ(g_config.noreply_headers[1].pattern, "^(yes|spam) [0-9]+");
       }},
      {"map_references and map_subject_text as written",
       "map_references %REFS%\nmap_subject_text %TOPIC%\n",
       [] {
         EXPECT_EQ(g_config.map_references, "%REFS%");
         EXPECT_EQ(g_config.map_subject_text, "%TOPIC%");
       }},
      {"recipient_delimiter and map_messageid as written",
       "Recipient_Delimiter +-\nmap_messageid %ID%\n",
       [] {
         EXPECT_EQ(g_config.recipient_delimiter, "+-");
         EXPECT_EQ(g_config.map_messageid, "%ID%");
       }},
      {"web texts as written; the trusted proxies replace the list, split on blanks",
       "web_listen [::1]:8443\nweb_binddn cn=web, dc=example\nweb_bindpw  p a ss \n"
       "web_login_filter (&(uid=$login)(objectClass=person))\n"
       "web_trusted_proxies 10.0.0.1\nWEB_TRUSTED_PROXIES 192.0.2.7   2001:db8::1\n",
       [] {
         EXPECT_EQ(g_config.web_listen, "[::1]:8443");
         EXPECT_EQ(g_config.web_binddn, "cn=web, dc=example");
         EXPECT_EQ(g_config.web_bindpw, "p a ss");
         EXPECT_EQ(g_config.web_login_filter, "(&(uid=$login)(objectClass=person))");
         EXPECT_EQ(g_config.web_trusted_proxies, (StringList{"192.0.2.7", "2001:db8::1"}));
       }},
      {"web_secure_cookies no", "web_secure_cookies NO\n",
       [] { EXPECT_FALSE(g_config.web_secure_cookies); }},
      {"web_secure_cookies yes", "web_secure_cookies no\nweb_secure_cookies Yes\n",
       [] { EXPECT_TRUE(g_config.web_secure_cookies); }},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(load(c.text).empty());
    c.check();
  }
}

// A value a directive cannot use is logged, always, at priority warning,
// log-safe, and the directive keeps the value it had before that line: the
// default or an earlier line's.
struct BadValueCase {
  std::string text;
  std::vector<std::string> warned;  // without "WARN/CFG "
  std::function<void()> check;
};

void expect_bad_values(const std::vector<BadValueCase>& cases) {
  for (const BadValueCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<LogRecord> expected;
    for (const std::string& text : c.warned) expected.push_back({LOG_WARNING, "WARN/CFG " + text});
    EXPECT_EQ(load(c.text), expected);
    c.check();
  }
}

TEST(Config, BadValuesWarnAndKeepThePreviousValue) {
  expect_bad_values({
      // Yes/no directives: yes or no only.
      {"rfc3834 yes\nrfc3834 yse\n",
       {"rfc3834: \"yse\" is not yes or no"},
       [] { EXPECT_TRUE(g_config.rfc3834); }},
      {"personal ye\npersonal true\npersonal on\n",
       {"personal: \"ye\" is not yes or no", "personal: \"true\" is not yes or no",
        "personal: \"on\" is not yes or no"},
       [] { EXPECT_FALSE(g_config.personal); }},
      {"personal\n", {"personal: \"\" is not yes or no"}, [] { EXPECT_FALSE(g_config.personal); }},
      // The MTA: a program at least; a line without one keeps the last.
      {"mta /bin/true -x\nmta \n",
       {"mta: \"\" is not a program"},
       [] {
         EXPECT_EQ(g_config.mta, "/bin/true");
         EXPECT_EQ(g_config.mta_args, "-x");
       }},
      {"track_text yes\ntrack_text perhaps\n",
       {"track_text: \"perhaps\" is not yes or no"},
       [] { EXPECT_TRUE(g_config.track_text); }},
      {"web_secure_cookies off\n",
       {"web_secure_cookies: \"off\" is not yes or no"},
       [] { EXPECT_TRUE(g_config.web_secure_cookies); }},
      // Numbers: digits only, within the directive's bounds.
      {"blockexpire abc\n",
       {"blockexpire: \"abc\" is not a number from 0 to 1000000"},
       [] { EXPECT_EQ(g_config.blockexpire, 48); }},
      {"blockexpire 7\nblockexpire -5\n",
       {"blockexpire: \"-5\" is not a number from 0 to 1000000"},
       [] { EXPECT_EQ(g_config.blockexpire, 7); }},
      {"mtatimeout 5x\n",
       {"mtatimeout: \"5x\" is not a number from 1 to 86400"},
       [] { EXPECT_EQ(g_config.mtatimeout, 120); }},
      {"port 1e3\nport +7\nport 1234 # comment\nport 12\r\nport  \t5\nport -0\n",
       {"port: \"1e3\" is not a number from 1 to 65535",
        "port: \"+7\" is not a number from 1 to 65535",
        "port: \"1234 # comment\" is not a number from 1 to 65535",
        "port: \"12?\" is not a number from 1 to 65535",
        "port: \"?5\" is not a number from 1 to 65535",
        "port: \"-0\" is not a number from 1 to 65535"},
       [] { EXPECT_EQ(g_config.port, 389); }},
      {"port 77\nport 99999999999\nport 99999999999999999999999\n",
       {"port: \"99999999999\" is not a number from 1 to 65535",
        "port: \"99999999999999999999999\" is not a number from 1 to 65535"},
       [] { EXPECT_EQ(g_config.port, 77); }},
      {"port\n",
       {"port: \"\" is not a number from 1 to 65535"},
       [] { EXPECT_EQ(g_config.port, 389); }},
      {"loglevel 2x\nloglevel 4\n",
       {"loglevel: \"2x\" is not a number from 0 to 3",
        "loglevel: \"4\" is not a number from 0 to 3"},
       [] { EXPECT_EQ(g_config.loglevel, 0); }},
      {"maxheader none\nmaxheader -1\n",
       {"maxheader: \"none\" is not a number from 0 to 1000000",
        "maxheader: \"-1\" is not a number from 0 to 1000000"},
       [] { EXPECT_EQ(g_config.maxheader, 256); }},
      {"maxreceivers -1\n",
       {"maxreceivers: \"-1\" is not a number from 0 to 1000000"},
       [] { EXPECT_EQ(g_config.maxreceivers, 256); }},
      {"failstatus 75\nfailstatus 0\nfailstatus 256\n",
       {"failstatus: \"0\" is not a number from 1 to 255",
        "failstatus: \"256\" is not a number from 1 to 255"},
       [] { EXPECT_EQ(g_config.failstatus, 75); }},
      {"protocol 3\nprotocol 4\nprotocol x\n",
       {"protocol: \"4\" is not 2 or 3", "protocol: \"x\" is not 2 or 3"},
       [] { EXPECT_EQ(g_config.protocol, 3); }},
      {"lmtp_workers 0\nlmtp_workers 257\nlmtp_timeout 86401\nldap_idle 86401\n",
       {"lmtp_workers: \"0\" is not a number from 1 to 256",
        "lmtp_workers: \"257\" is not a number from 1 to 256",
        "lmtp_timeout: \"86401\" is not a number from 1 to 86400",
        "ldap_idle: \"86401\" is not a number from 0 to 86400"},
       [] {
         EXPECT_EQ(g_config.lmtp_workers, 8);
         EXPECT_EQ(g_config.lmtp_timeout, 300);
         EXPECT_EQ(g_config.ldap_idle, 60);
       }},
      {"web_session_idle 5\nweb_session_idle 1441\nweb_session_idle 0\nweb_session_idle 15m\n",
       {"web_session_idle: \"1441\" is not a number from 1 to 1440",
        "web_session_idle: \"0\" is not a number from 1 to 1440",
        "web_session_idle: \"15m\" is not a number from 1 to 1440"},
       [] { EXPECT_EQ(g_config.web_session_idle, 5); }},
      {"web_request_timeout 3601\nweb_login_limit 0\nweb_peer_limit -1\n",
       {"web_request_timeout: \"3601\" is not a number from 1 to 3600",
        "web_login_limit: \"0\" is not a number from 1 to 1000000",
        "web_peer_limit: \"-1\" is not a number from 0 to 1000000"},
       [] {
         EXPECT_EQ(g_config.web_request_timeout, 20);
         EXPECT_EQ(g_config.web_login_limit, 5);
         EXPECT_EQ(g_config.web_peer_limit, 16);
       }},
      // Modes: octal digits.
      {"lmtp_socket_mode 0668\nlmtp_socket_mode 17777\n",
       {"lmtp_socket_mode: \"0668\" is not an octal mode from 0000 to 7777",
        "lmtp_socket_mode: \"17777\" is not an octal mode from 0000 to 7777"},
       [] { EXPECT_EQ(g_config.lmtp_socket_mode, 0660); }},
      {"umask 0640\numask 06478\numask 8\numask 77777777777777\n",
       {"umask: \"06478\" is not an octal mode from 0000 to 7777",
        "umask: \"8\" is not an octal mode from 0000 to 7777",
        "umask: \"77777777777777\" is not an octal mode from 0000 to 7777"},
       [] { EXPECT_EQ(g_config.create_mode, 0640); }},
      // Words.
      {"scope base\nscope subtree\nscope x\n",
       {"scope: \"subtree\" is not base, one or sub", "scope: \"x\" is not base, one or sub"},
       [] { EXPECT_EQ(g_config.scope, 0); }},
      {"tls ldaps\ntls ssl\n",
       {"tls: \"ssl\" is not none, starttls or ldaps"},
       [] { EXPECT_EQ(g_config.tls, DirectoryTls::kLdaps); }},
      // A charset iconv cannot open.
      {"charset ISO-8859-1\ncharset UTF-9\n",
       {"charset: \"UTF-9\" is not a charset iconv converts UTF-8 into"},
       [] { EXPECT_EQ(g_config.charset, "ISO-8859-1"); }},
      {"charset NO-SUCH-CHARSET//TRANSLIT\n",
       {"charset: \"NO-SUCH-CHARSET//TRANSLIT\" is not a charset iconv converts UTF-8 into"},
       [] { EXPECT_FALSE(g_config.charset); }},
      // Pairs without their second word add nothing.
      {"map_field $only\nmap_date $alone\nnoreply_header X-Lonely\n",
       {"map_field: \"$only\" is not a placeholder and an attribute",
        "map_date: \"$alone\" is not a placeholder and an attribute",
        "noreply_header: \"X-Lonely\" is not a header name and a pattern"},
       [] {
         EXPECT_TRUE(g_config.map_field_placeholders.empty());
         EXPECT_EQ(g_config.map_field_attributes, StringList{"vacationInfo"});
         EXPECT_TRUE(g_config.map_date_placeholders.empty());
         EXPECT_TRUE(g_config.noreply_headers.empty());
       }},
      // Control bytes in a value are shown as '?'.
      {std::string("rfc3834 y\x1b[2Jes\n"),
       {"rfc3834: \"y?[2Jes\" is not yes or no"},
       [] { EXPECT_FALSE(g_config.rfc3834); }},
  });
}

// mtatimeout takes 1 to 86400 seconds. A larger value, saturated ones
// included, is refused with the words it always had; below 1 or not a
// number as any bad value. Either way the value before stays.
TEST(Config, MtaTimeoutUpToADay) {
  const std::string above = "mtatimeout above 86400 ignored";
  expect_bad_values({
      {"mtatimeout 86400\n", {}, [] { EXPECT_EQ(g_config.mtatimeout, 86400); }},
      {"mtatimeout 1\n", {}, [] { EXPECT_EQ(g_config.mtatimeout, 1); }},
      {"mtatimeout 5\nmtatimeout 0\nmtatimeout -3\n",
       {"mtatimeout: \"0\" is not a number from 1 to 86400",
        "mtatimeout: \"-3\" is not a number from 1 to 86400"},
       [] { EXPECT_EQ(g_config.mtatimeout, 5); }},
      {"mtatimeout 5\nmtatimeout 86401\n", {above}, [] { EXPECT_EQ(g_config.mtatimeout, 5); }},
      {"mtatimeout 86401\n", {above}, [] { EXPECT_EQ(g_config.mtatimeout, 120); }},
      {"mtatimeout 5\nmtatimeout 2147483648\n", {above}, [] { EXPECT_EQ(g_config.mtatimeout, 5); }},
      {"mtatimeout 5\nmtatimeout 99999999999999999999999\nmtatimeout 7\n",
       {above},
       [] { EXPECT_EQ(g_config.mtatimeout, 7); }},
  });
}

// A block file made without read and write for its owner could not be
// opened by the next run: such a mode is refused with a warning (not gated
// by loglevel) and 0600 is used instead, whatever an earlier line set.
TEST(Config, CreateModeKeepsOwnerReadAndWrite) {
  const auto refused = [](const std::string& mode) {
    return std::vector<LogRecord>{
        {LOG_WARNING,
         "WARN/CFG umask " + mode + " would make block files the program cannot read; 0600 used"}};
  };
  struct Case {
    std::string text;
    int create_mode;
    std::vector<LogRecord> logged;
  };
  const Case cases[] = {
      {"umask 0000\n", 0600, refused("0000")},
      {"umask 0200\n", 0600, refused("0200")},
      {"umask 0400\n", 0600, refused("0400")},
      {"umask 0577\n", 0600, refused("0577")},
      {"umask 0377\n", 0600, refused("0377")},
      {"umask 6400\n", 0600, refused("0400")},  // set-id bits go first
      {"loglevel 0\numask 0640\numask 0044\n", 0600, refused("0044")},
      {"umask 0044\numask 0640\n", 0640, refused("0044")},
      {"umask 0600\n", 0600, {}},
      {"umask 0604\n", 0604, {}},
      {"umask 0700\n", 0700, {}},
      {"umask 4660\n", 0660, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(load(c.text), c.logged);
    EXPECT_EQ(g_config.create_mode, c.create_mode);
  }
}

// An unknown directive warns with or without a value; a tab is no blank,
// so a name and a value joined by one are one unknown word.
TEST(Config, UnknownDirectiveWarns) {
  EXPECT_EQ(load("Bogus value\n  # not a comment\n  #\nport 7\nunknownword\nport\t1\n"),
            (std::vector<LogRecord>{{LOG_WARNING, "WARN/CFG Unknown config directive: Bogus"},
                                    {LOG_WARNING, "WARN/CFG Unknown config directive: #"},
                                    {LOG_WARNING, "WARN/CFG Unknown config directive: #"},
                                    {LOG_WARNING, "WARN/CFG Unknown config directive: unknownword"},
                                    {LOG_WARNING, "WARN/CFG Unknown config directive: port?1"}}));
  EXPECT_EQ(g_config.port, 7);
}

TEST(Config, LongLineIsDroppedWhole) {
  // The buffer holds 2099 bytes: a line of 2098 bytes and its newline.
  const std::string fits = "base " + std::string(2098 - 5, 'x');
  const std::string too_long = "base " + std::string(2099 - 5, 'y');
  const std::vector<LogRecord> warned{{LOG_WARNING, "WARN/CFG line too long"}};
  struct Case {
    const char* name;
    std::string text;
    std::vector<LogRecord> logged;
    std::string base;
    int port;
  };
  const Case cases[] = {
      {"longest line that fits", fits + "\nport 77\n", {}, fits.substr(5), 77},
      {"fits exactly at the end of the file", "port 77\n" + too_long, {}, too_long.substr(5), 77},
      {"one byte more", too_long + "\nport 77\n", warned, "", 77},
      // The tail of a long comment must not become a directive.
      {"tail of a long comment", "#" + std::string(2099, 'c') + "port 99\nbase dc=x\n", warned,
       "dc=x", 389},
      {"several buffers long", "base " + std::string(3 * 2099, 'z') + "\nport 77\n", warned, "",
       77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(load(c.text), c.logged);
    EXPECT_EQ(g_config.base, c.base);
    EXPECT_EQ(g_config.port, c.port);
  }
}

TEST(Config, NulByteEndsTheLine) {
  EXPECT_TRUE(load(std::string("base dc=x\0junk\nport 5\n", 22)).empty());
  EXPECT_EQ(g_config.base, "dc=x");
  EXPECT_EQ(g_config.port, 5);
}

TEST(Config, MissingFileIsFatal) {
  EXPECT_EXIT(
      {
        LogCapture capture;
        config_read_file("/nonexistent/orvelt.cfg");
      },
      testing::ExitedWithCode(kDefaultFatalStatus),
      "3\\|CRIT/IO /nonexistent/orvelt.cfg: No such file or directory\n");
}

TEST(Config, FileThatCannotBeReadIsFatal) {
  // A directory opens for reading, and then fails every read (EISDIR).
  TempDir dir;
  EXPECT_EXIT(
      {
        LogCapture capture;
        config_read_file(dir.path().c_str());
      },
      testing::ExitedWithCode(kDefaultFatalStatus),
      "3\\|CRIT/IO " + dir.path() + ": Is a directory\n");
}

// The reader that does not stop: the same reasons as the fatal one, the
// run goes on, and a file that cannot be opened leaves the record alone.
TEST(Config, ReadPathGivesTheReasonInsteadOfEndingTheRun) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    const char* reason;
  } cases[] = {
      {"/nonexistent/orvelt.cfg", "No such file or directory"},
      {dir.path(), "Is a directory"},
      {fifo, "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    config_set_defaults();
    g_config.port = 7;
    LogCapture capture;
    EXPECT_EQ(config_read_path(c.path.c_str()), std::optional<std::string>(c.reason));
    EXPECT_EQ(g_config.port, 7);
    EXPECT_TRUE(capture.records().empty());
  }
  LogCapture capture;
  EXPECT_EQ(config_read_path(dir.write("orvelt.cfg", "base dc=x\nbogus 1\n").c_str()),
            std::nullopt);
  EXPECT_EQ(g_config.base, "dc=x");
  EXPECT_EQ(g_config.port, 389) << "the defaults come first";
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{{LOG_WARNING, "WARN/CFG Unknown config directive: bogus"}}));
}

// Each thread has a record of its own: what one thread reads, the other
// does not see, and a new thread starts with an empty one.
TEST(Config, EachThreadHasItsOwnRecord) {
  TempDir dir;
  config_set_defaults();
  g_config.base = "dc=main";
  std::string other_base = "unset";
  std::thread other([&] {
    other_base = g_config.base;
    ASSERT_EQ(config_read_path(dir.write("orvelt.cfg", "base dc=other\n").c_str()), std::nullopt);
    EXPECT_EQ(g_config.base, "dc=other");
  });
  other.join();
  EXPECT_EQ(other_base, "");
  EXPECT_EQ(g_config.base, "dc=main");
}

struct StreamCloser {
  void operator()(FILE* stream) const { fclose(stream); }
};

// The stream reader starts from the defaults, as the file reader does: what
// an earlier read set does not linger. A line without a directive (blanks
// only), or a text directive without a value, does nothing and logs
// nothing.
TEST(Config, ReadStreamStartsFromDefaultsAndSkipsLinesWithoutAValue) {
  config_set_defaults();
  g_config.port = 7;
  g_config.login = "cn=earlier";
  std::string text = "   \nlogin\nserver\n";
  const std::unique_ptr<FILE, StreamCloser> stream(fmemopen(text.data(), text.size(), "r"));
  ASSERT_TRUE(stream);
  LogCapture capture;
  config_read_stream(stream.get());
  EXPECT_TRUE(capture.records().empty());
  expect_default_config();
}

}  // namespace
