// A stand-in directory server for the result codes a real one can hardly be
// made to give (fake_ldap_server_main.cc): it accepts any bind and answers
// each search with a reply set by the test. Started by the constructor on a
// free loopback port, as a child process that dies with the test process;
// stopped by the destructor.
#pragma once

#include <sys/types.h>

#include <vector>

// The answer to one search: entries searchResultEntry messages (each with
// a vacationInfo text), then references searchResultReference messages,
// then a searchResultDone with result_code.
struct FakeSearchReply {
  int result_code = 0;
  int entries = 0;
  int references = 0;
};

class FakeLdapServer {
 public:
  // The n-th search on a connection gets replies[n], searches after the
  // last get the last again; replies must not be empty. Throws
  // std::runtime_error when the server does not come up.
  explicit FakeLdapServer(const std::vector<FakeSearchReply>& replies);
  ~FakeLdapServer();
  FakeLdapServer(const FakeLdapServer&) = delete;
  FakeLdapServer& operator=(const FakeLdapServer&) = delete;

  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};
