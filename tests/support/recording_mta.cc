#include "support/recording_mta.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

constexpr const char* kDirVariable = "ORVELT_TEST_MTA_DIR";
constexpr const char* kExitVariable = "ORVELT_TEST_MTA_EXIT";
constexpr const char* kNoReadVariable = "ORVELT_TEST_MTA_NO_READ";

std::vector<std::string> split_at_nul(const std::string& bytes) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    words.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::vector<int> numbers(const std::string& text) {
  std::vector<int> out;
  std::istringstream words(text);
  for (int n = 0; words >> n;) out.push_back(n);
  return out;
}

}  // namespace

RecordingMta::RecordingMta(MtaBehaviour behaviour) : behaviour_(behaviour) {
  setenv(kDirVariable, dir_.path().c_str(), 1);
  setenv(kExitVariable, std::to_string(behaviour_.exit_status).c_str(), 1);
  if (behaviour_.read_input) {
    unsetenv(kNoReadVariable);
  } else {
    setenv(kNoReadVariable, "1", 1);
  }
}

RecordingMta::~RecordingMta() {
  unsetenv(kDirVariable);
  unsetenv(kExitVariable);
  unsetenv(kNoReadVariable);
}

std::string RecordingMta::program() { return RECORDING_MTA; }

std::string RecordingMta::env_names() {
  return std::string(kDirVariable) + " " + kExitVariable + " " + kNoReadVariable;
}

std::vector<std::string> RecordingMta::env() const {
  std::vector<std::string> entries{
      std::string(kDirVariable) + "=" + dir_.path(),
      std::string(kExitVariable) + "=" + std::to_string(behaviour_.exit_status)};
  if (!behaviour_.read_input) entries.push_back(std::string(kNoReadVariable) + "=1");
  return entries;
}

std::vector<MtaCall> RecordingMta::calls() const { return read_mta_calls(dir_.path()); }

std::vector<MtaCall> read_mta_calls(const std::string& dir) {
  std::vector<MtaCall> calls;
  for (unsigned number = 1;; ++number) {
    const std::string base = dir + "/" + std::to_string(number);
    if (!std::filesystem::exists(base + ".argv")) break;
    calls.push_back({split_at_nul(read_file(base + ".argv")), read_file(base + ".stdin"),
                     read_file(base + ".sigpipe"), numbers(read_file(base + ".fds"))});
  }
  return calls;
}

ForkingMta::ForkingMta(const std::string& then) {
  program_ = dir_.write("mta.sh", "#!/bin/sh\nsleep 300 >/dev/null 2>&1 &\necho $! >" +
                                      dir_.file("child.pid") + "\n" + then);
  chmod(program_.c_str(), 0755);
}

ForkingMta::~ForkingMta() {
  // Harmless when it has ended: a zombie or no process at all.
  const pid_t pid = child();
  if (pid > 0) kill(pid, SIGKILL);
}

pid_t ForkingMta::child() const {
  return static_cast<pid_t>(atoi(read_file(dir_.file("child.pid")).c_str()));
}

bool ForkingMta::child_ends() const {
  const pid_t pid = child();
  if (pid <= 0) return false;
  for (int i = 0; i < 100; ++i) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t name_end = stat.rfind(')');
    if (name_end != std::string::npos && stat.compare(name_end, 3, ") Z") == 0) return true;
    usleep(50 * 1000);
  }
  return false;
}
