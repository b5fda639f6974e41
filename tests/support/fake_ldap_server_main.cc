// A directory server that speaks just enough LDAP to give a client the
// search results a real server rarely can be made to give: a size limit
// hit after some entries, a referral, a busy server, any result code.
//
// Usage: fake_ldap_server REPLY...
// where each REPLY is CODE:ENTRIES:REFERENCES, the answer to one search:
// ENTRIES searchResultEntry messages, then REFERENCES searchResultReference
// messages, then a searchResultDone with result code CODE (a referral code
// carries a referral URI). The n-th search on a connection gets the n-th
// REPLY, searches after the last get the last again.
//
// It listens on a free loopback port, writes that port number and a
// newline to standard output, and then serves one connection after the
// other until it is killed: a bind is answered with success, a search with
// its REPLY, an unbind by closing the connection; anything else is ignored.
//
// A program of its own rather than a part of the test library: the tests
// carry orvelt's own definitions of some liblber functions (the program
// loads libldap at run time), which must not meet liblber itself.
#include <arpa/inet.h>
#include <lber.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Reply {
  ber_int_t code = LDAP_SUCCESS;
  int entries = 0;
  int references = 0;
};

struct BerFree {
  void operator()(BerElement* ber) const { ber_free(ber, 1); }
};
using Ber = std::unique_ptr<BerElement, BerFree>;

// Owns the connection's descriptor as well: freeing closes it.
struct SockbufFree {
  void operator()(Sockbuf* sb) const { ber_sockbuf_free(sb); }
};
using Connection = std::unique_ptr<Sockbuf, SockbufFree>;

constexpr const char* kReferral = "ldap://elsewhere.invalid/dc=example,dc=org";

// Sends the message built in ber; false when the connection failed.
bool send(Sockbuf* sb, Ber ber) {
  return ber_flush2(sb, ber.release(), LBER_FLUSH_FREE_ALWAYS) == 0;
}

Ber message() { return Ber(ber_alloc_t(LBER_USE_DER)); }

bool send_bind_result(Sockbuf* sb, ber_int_t id) {
  Ber ber = message();
  ber_printf(ber.get(), "{it{ess}}", id, ber_tag_t{LDAP_RES_BIND}, ber_int_t{LDAP_SUCCESS}, "", "");
  return send(sb, std::move(ber));
}

// Entry i under base: its one attribute is a vacation text, so that a
// client that used it would answer with it.
bool send_entry(Sockbuf* sb, ber_int_t id, const std::string& base, int i) {
  const std::string dn = "cn=entry" + std::to_string(i) + (base.empty() ? "" : "," + base);
  const std::string text = "Text of entry " + std::to_string(i) + ".\n";
  Ber ber = message();
  ber_printf(ber.get(), "{it{s{{s[s]}}}}", id, ber_tag_t{LDAP_RES_SEARCH_ENTRY}, dn.c_str(),
             "vacationInfo", text.c_str());
  return send(sb, std::move(ber));
}

bool send_reference(Sockbuf* sb, ber_int_t id) {
  Ber ber = message();
  ber_printf(ber.get(), "{it{s}}", id, ber_tag_t{LDAP_RES_SEARCH_REFERENCE}, kReferral);
  return send(sb, std::move(ber));
}

bool send_search_done(Sockbuf* sb, ber_int_t id, ber_int_t code) {
  Ber ber = message();
  ber_printf(ber.get(), "{it{ess", id, ber_tag_t{LDAP_RES_SEARCH_RESULT}, code, "", "");
  if (code == LDAP_REFERRAL) ber_printf(ber.get(), "t{s}", ber_tag_t{LDAP_TAG_REFERRAL}, kReferral);
  ber_printf(ber.get(), "}}");
  return send(sb, std::move(ber));
}

// Answers the search request left in ber (after its message ID) with reply.
bool answer_search(Sockbuf* sb, BerElement* ber, ber_int_t id, const Reply& reply) {
  berval base{};
  if (ber_scanf(ber, "{m", &base) == LBER_ERROR) return false;
  const std::string base_text(base.bv_val, base.bv_len);
  for (int i = 1; i <= reply.entries; ++i) {
    if (!send_entry(sb, id, base_text, i)) return false;
  }
  for (int i = 0; i < reply.references; ++i) {
    if (!send_reference(sb, id)) return false;
  }
  return send_search_done(sb, id, reply.code);
}

// Serves one connection until the client unbinds, closes it or sends what
// is no LDAP message.
void serve(int fd, const std::vector<Reply>& replies) {
  const Connection sb(ber_sockbuf_alloc());
  if (!sb) {
    close(fd);
    return;
  }
  ber_sockbuf_add_io(sb.get(), &ber_sockbuf_io_tcp, LBER_SBIOD_LEVEL_PROVIDER, &fd);
  size_t searches = 0;
  for (;;) {
    const Ber ber(ber_alloc_t(0));
    ber_len_t length = 0;
    ber_int_t id = 0;
    // ber_get_next takes the message's outer SEQUENCE header off: what is
    // left starts with the message ID, then the operation.
    if (!ber || ber_get_next(sb.get(), &length, ber.get()) == LBER_DEFAULT ||
        ber_scanf(ber.get(), "i", &id) == LBER_ERROR) {
      return;
    }
    const ber_tag_t operation = ber_peek_tag(ber.get(), &length);
    bool up = true;
    if (operation == LDAP_REQ_BIND) {
      up = send_bind_result(sb.get(), id);
    } else if (operation == LDAP_REQ_SEARCH) {
      const Reply& reply = replies[std::min(searches++, replies.size() - 1)];
      up = answer_search(sb.get(), ber.get(), id, reply);
    } else if (operation == LDAP_REQ_UNBIND) {
      up = false;
    }
    if (!up) return;
  }
}

// The replies given as arguments; exits on one that does not read.
std::vector<Reply> parse_replies(int argc, char** argv) {
  std::vector<Reply> replies;
  for (int i = 1; i < argc; ++i) {
    Reply reply;
    if (sscanf(argv[i], "%d:%d:%d", &reply.code, &reply.entries, &reply.references) != 3) {
      fprintf(stderr, "fake_ldap_server: bad reply %s (CODE:ENTRIES:REFERENCES)\n", argv[i]);
      exit(2);
    }
    replies.push_back(reply);
  }
  if (replies.empty()) {
    fprintf(stderr, "usage: fake_ldap_server CODE:ENTRIES:REFERENCES...\n");
    exit(2);
  }
  return replies;
}

// A socket listening on a free loopback port, and that port; exits when
// there is none.
int listen_on_loopback(int& port) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    perror("fake_ldap_server: listening socket");
    exit(1);
  }
  port = ntohs(address.sin_port);
  return listener;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<Reply> replies = parse_replies(argc, argv);
  int port = 0;
  const int listener = listen_on_loopback(port);
  printf("%d\n", port);
  fflush(stdout);
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) serve(fd, replies);
  }
}
