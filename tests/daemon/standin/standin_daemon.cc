// A server made of orveltd's listener, workers and signals around a
// stand-in session: a line protocol just rich enough to hold a connection,
// stay busy for a while and show the configuration a worker holds.
//   greeting  "220 standin"
//   SLEEP n   busy n seconds (a transaction), then "250 slept"; a drain
//             that ran out of time cuts it short, without a reply
//   HANG n    busy n seconds whatever happens (a call that does not
//             return), then "250 hung"
//   BASE      "250 <base of the configuration this worker holds>"
//   QUIT      "221 bye", and the end of the session
// Outside SLEEP, a drain ends the session with "421 4.3.2 shutting down".
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "config/config.h"
#include "config/config_snapshot.h"
#include "daemon/daemon_main.h"

namespace {

void say(int fd, const std::string& line) {
  const std::string text = line + "\r\n";
  (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

class StandinSession final : public ConnectionHandler {
 public:
  void serve(int fd, const DrainSignal& drain) override {
    say(fd, "220 standin");
    std::string pending;
    for (;;) {
      const size_t end = pending.find('\n');
      if (end == std::string::npos) {
        if (drain.requested) return say(fd, "421 4.3.2 shutting down");
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char chunk[512];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) return;
        pending.append(chunk, static_cast<size_t>(got));
        continue;
      }
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!command(fd, line, drain)) return;
    }
  }

 private:
  bool command(int fd, const std::string& line, const DrainSignal& drain) {
    config_adopt_published();
    if (line == "QUIT") {
      say(fd, "221 bye");
      return false;
    }
    if (line == "BASE") {
      say(fd, "250 " + g_config.base);
    } else if (line.rfind("SLEEP ", 0) == 0) {
      for (int tick = 0; tick < 10 * atoi(line.c_str() + 6); ++tick) {
        if (drain.immediate) return false;
        usleep(100'000);
      }
      say(fd, "250 slept");
    } else if (line.rfind("HANG ", 0) == 0) {
      sleep(static_cast<unsigned>(atoi(line.c_str() + 5)));
      say(fd, "250 hung");
    } else {
      say(fd, "500 unknown");
    }
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  return daemon_main(argc, argv, [] { return std::make_unique<StandinSession>(); });
}
