#include "support/fake_ldap_server.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "util/c_owners.h"
#include "util/unique_fd.h"

namespace {

// The program's arguments: its path, then CODE:ENTRIES:REFERENCES each.
std::vector<std::string> arguments(const std::vector<FakeSearchReply>& replies) {
  std::vector<std::string> words{FAKE_LDAP_SERVER};
  for (const FakeSearchReply& r : replies) {
    words.push_back(std::to_string(r.result_code) + ":" + std::to_string(r.entries) + ":" +
                    std::to_string(r.references));
  }
  return words;
}

// Starts the server with its standard output on out; the child dies with
// this process.
pid_t start(std::vector<std::string> words, int out) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fake LDAP server: fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(out, STDOUT_FILENO);
    close_range(3, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

FakeLdapServer::FakeLdapServer(const std::vector<FakeSearchReply>& replies) {
  if (replies.empty()) throw std::runtime_error("fake LDAP server: no reply given");
  int ends[2];
  if (pipe(ends) != 0) throw std::runtime_error("fake LDAP server: no pipe");
  UniqueFd read_end(ends[0]);
  {
    const UniqueFd write_end(ends[1]);
    pid_ = start(arguments(replies), write_end.get());
  }
  // The first line is the port, written once the socket listens; end of
  // file instead means the server did not come up.
  const OwnedFile from_server(fdopen(read_end.get(), "r"));
  if (from_server) read_end.release();
  if (!from_server || fscanf(from_server.get(), "%d", &port_) != 1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("fake LDAP server: no port");
  }
}

FakeLdapServer::~FakeLdapServer() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}
