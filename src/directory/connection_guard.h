// Watches every network connection that the client library opens for the
// directory session: which connections may be made at all, and how long
// the library may wait on one of them.
#pragma once

#include <ldap.h>

// Which connections a session may open.
enum class ConnectionRule {
  kAny,        // plain sessions: whatever the library opens
  kLdapsOnly,  // ldaps sessions: ldaps:// connections only
  kFirstOnly,  // StartTLS sessions: the first connection and no other
};

// The longest that the session waits for the server to send or to take
// data, on any connection, before the read or write fails. A little longer
// than the library's own 10-second limit on each request, so that the
// library's time-out decides where it applies and this one only where it
// does not (a TLS handshake).
inline constexpr int kConnectionWaitSeconds = 12;

// The guard of one session. It must outlive the session's handle (the
// library keeps pointers to it), so it is neither copied nor moved; the
// session that owns it keeps it on the heap.
class ConnectionGuard {
 public:
  explicit ConnectionGuard(ConnectionRule rule);
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  // Registers the guard on session (a connection callback of the handle, no
  // global option): from then on every connection the library opens is
  // checked against the rule before anything is sent on it, and refused
  // (closed, as if the server could not be reached) when the rule forbids
  // it. Each allowed connection gets a layer under the library's TLS layer
  // that waits for the socket at most kConnectionWaitSeconds per read or
  // write, so that a server that stops answering in the middle of a TLS
  // handshake or of a message fails the connection instead of holding the
  // process. Call once, before the session's first connection.
  void watch(LDAP* session);

  // True when a wait of the guard's layer has run out (the server went
  // silent) since the last start_request: a failure of that request is a
  // time-out.
  bool wait_ran_out() const { return wait_ran_out_; }
  // Marks the start of a request: a time-out of an earlier one no longer
  // counts.
  void start_request() {
    wait_ran_out_ = false;
    time_limit_ran_out_ = false;
  }
  // Notes that the request's own time limit ran out (the server sent
  // nothing in time, no wait of the layer was cut short).
  void note_time_limit_ran_out() { time_limit_ran_out_ = true; }
  // True when the request since the last start_request timed out, either
  // way.
  bool timed_out() const { return wait_ran_out_ || time_limit_ran_out_; }

 private:
  friend struct ConnectionGuardHooks;
  ConnectionRule rule_;
  int connections_opened_ = 0;
  bool wait_ran_out_ = false;
  bool time_limit_ran_out_ = false;
  ldap_conncb callbacks_;
};
