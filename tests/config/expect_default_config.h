// Checks every field of the configuration record against its default.
#pragma once

#include <gtest/gtest.h>

#include "config/config.h"
#include "util/log.h"

inline void expect_default_config() {
  EXPECT_EQ(g_config.base, "");
  EXPECT_FALSE(g_config.login);
  EXPECT_FALSE(g_config.password);
  EXPECT_EQ(g_config.server, "localhost");
  EXPECT_EQ(g_config.queryfilter, "(&(mail=$recepient)(vacationActive=TRUE))");
  EXPECT_EQ(g_config.result, "vacationInfo");
  EXPECT_EQ(g_config.scope, 2);
  EXPECT_EQ(g_config.port, 389);
  EXPECT_EQ(g_config.protocol, 0);
  EXPECT_FALSE(g_config.charset);
  EXPECT_FALSE(g_config.badheaders);
  EXPECT_EQ(g_config.blockfiles, kDefaultBlockfiles);
  EXPECT_EQ(g_config.mta, "/usr/sbin/sendmail");
  EXPECT_EQ(g_config.mta_args, "");
  EXPECT_FALSE(g_config.blacklist);
  EXPECT_FALSE(g_config.forceheader);
  EXPECT_FALSE(g_config.forcefooter);
  EXPECT_EQ(g_config.map_sender, "$sender");
  EXPECT_EQ(g_config.map_receiver, "$recepient");
  EXPECT_EQ(g_config.recvheader, (StringList{"to", "cc"}));
  EXPECT_EQ(g_config.map_subject, "$subject");
  EXPECT_EQ(g_config.map_field_attributes, StringList{"vacationInfo"});
  EXPECT_TRUE(g_config.map_field_placeholders.empty());
  EXPECT_EQ(g_config.blockexpire, 48);
  EXPECT_EQ(g_config.maxreceivers, 256);
  EXPECT_EQ(g_config.maxheader, 256);
  EXPECT_EQ(g_config.create_mode, 0600);
  EXPECT_EQ(g_config.loglevel, 0);
  EXPECT_FALSE(g_config.rfc3834);
  EXPECT_EQ(g_config.tls, DirectoryTls::kNone);
  EXPECT_FALSE(g_config.tls_cacert);
  EXPECT_EQ(g_config.failstatus, kDefaultFatalStatus);  // the build's
  EXPECT_EQ(g_config.mtatimeout, 120);
  EXPECT_EQ(g_config.recipient_delimiter, "");
  EXPECT_EQ(g_config.map_messageid, "$messageid");
  EXPECT_EQ(g_config.map_now, "$now");
  EXPECT_TRUE(g_config.map_date_placeholders.empty());
  EXPECT_TRUE(g_config.map_date_attributes.empty());
  EXPECT_EQ(g_config.dateformat, "%Y-%m-%d");
  EXPECT_TRUE(g_config.internal_domains.empty());
  EXPECT_FALSE(g_config.internal_result);
  EXPECT_TRUE(g_config.blockstore.empty());
  EXPECT_FALSE(g_config.blockstore_password);
  EXPECT_EQ(g_config.blockstore_prefix, "orvelt:");
  EXPECT_FALSE(g_config.personal);
  EXPECT_TRUE(g_config.alias_attributes.empty());
  EXPECT_TRUE(g_config.noreply_headers.empty());
  EXPECT_EQ(g_config.map_references, "$references");
  EXPECT_EQ(g_config.map_subject_text, "$subjecttext");
  EXPECT_FALSE(g_config.track_text);
  EXPECT_FALSE(g_config.blockexpire_attribute);
  EXPECT_EQ(g_config.blockexpire_min, 1);
  EXPECT_EQ(g_config.blockexpire_max, 1440);
  EXPECT_EQ(g_config.web_listen, "127.0.0.1:8080");
  EXPECT_FALSE(g_config.web_binddn);
  EXPECT_FALSE(g_config.web_bindpw);
  EXPECT_EQ(g_config.web_login_filter, "(mail=$login)");
  EXPECT_TRUE(g_config.web_secure_cookies);
  EXPECT_EQ(g_config.web_session_idle, 30);
  EXPECT_EQ(g_config.web_request_timeout, 20);
  EXPECT_EQ(g_config.web_peer_limit, 16);
  EXPECT_EQ(g_config.web_login_limit, 5);
  EXPECT_EQ(g_config.web_client_limit, 50);
  EXPECT_EQ(g_config.lmtp_peer_limit, 64);
  EXPECT_EQ(g_config.ldap_idle, 60);
  EXPECT_TRUE(g_config.mta_env.empty());
  EXPECT_EQ(g_config.web_trusted_proxies, (StringList{"127.0.0.1", "::1"}));
}
