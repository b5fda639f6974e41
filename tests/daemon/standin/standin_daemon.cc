// A server made of orveltd's listener, poll loop, workers and signals
// around a stand-in handler: the message of each transaction is a command
// just rich enough to keep a worker busy for a while and show the
// configuration a worker holds. Every recipient gets the same reply.
//   SLEEP n   busy n seconds, then "250 slept"; a drain that ran out of
//             time cuts it short: "451 4.3.2 shutting down"
//   HANG n    busy n seconds whatever happens (a call that does not
//             return), then "250 hung"
//   BASE      "250 <base of the configuration this worker holds>"
//   NOMEM     asks for more memory than there is
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_snapshot.h"
#include "daemon/daemon_main.h"

namespace {

class StandinHandler final : public LmtpHandler {
 public:
  explicit StandinHandler(const DrainSignal& drain) : drain_(drain) {}

  std::vector<std::string> deliver(const LmtpEnvelope& envelope, LmtpDataSource& data) override {
    std::string message;
    char chunk[512];
    ssize_t got;
    while ((got = data.read(chunk, sizeof chunk)) > 0)
      message.append(chunk, static_cast<size_t>(got));
    if (!data.complete()) return {};
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
      message.pop_back();
    return std::vector<std::string>(envelope.recipients.size(), command(message));
  }

 private:
  std::string command(const std::string& line) {
    config_adopt_published();
    if (line == "BASE") return "250 " + g_config.base;
    if (line == "NOMEM") {
      volatile size_t size = size_t{1} << 60;
      std::unique_ptr<char[]> too_much(new char[size]);
      return "250 " + std::to_string(too_much[0]);
    }
    if (line.rfind("SLEEP ", 0) == 0) {
      for (int tick = 0; tick < 10 * atoi(line.c_str() + 6); ++tick) {
        if (drain_.immediate) return "451 4.3.2 shutting down";
        usleep(100'000);
      }
      return "250 slept";
    }
    if (line.rfind("HANG ", 0) == 0) {
      sleep(static_cast<unsigned>(atoi(line.c_str() + 5)));
      return "250 hung";
    }
    return "550 unknown";
  }

  const DrainSignal& drain_;
};

}  // namespace

int main(int argc, char** argv) {
  return daemon_main(
      argc, argv, [](const DrainSignal& drain) { return std::make_unique<StandinHandler>(drain); });
}
