#include "support/daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "util/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollInterval{20};

// The child's environment: the inherited one with start.env on top, the
// preload library and its log file.
std::vector<std::string> child_environment(const DaemonStart& start, const std::string& log) {
  auto overridden = [&start](std::string_view entry) {
    const std::string_view name = entry.substr(0, entry.find('='));
    if (name == "LISTEN_PID" || name == "LISTEN_FDS") return true;
    for (const std::string& e : start.env) {
      if (std::string_view(e).substr(0, e.find('=')) == name) return true;
    }
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!overridden(*e)) env.emplace_back(*e);
  }
  env.push_back(std::string("LD_PRELOAD=") + SYSLOG_CAPTURE_LIBRARY);
  env.push_back("ORVELT_LOG_CAPTURE=" + log);
  env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
  for (const std::string& e : start.env) env.push_back(e);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

DaemonProcess::DaemonProcess(const DaemonStart& start) {
  std::vector<std::string> env = child_environment(start, scratch_.file("syslog"));
  std::vector<std::string> args{start.program};
  args.insert(args.end(), start.args.begin(), start.args.end());
  std::vector<char*> argv = pointers(args);
  const std::string err_path = scratch_.file("stderr");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ > 0) return;
  const int in = open("/dev/null", O_RDONLY);
  const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || err < 0) _exit(127);
  dup2(in, 0);
  dup2(err, 1);
  dup2(err, 2);
  if (start.listen_fd >= 0) {
    if (dup2(start.listen_fd, 3) != 3) _exit(127);
    env.push_back("LISTEN_FDS=" + start.listen_fds);
    env.push_back("LISTEN_PID=" + std::to_string(getpid()));
  }
  std::vector<char*> envp = pointers(env);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

DaemonProcess::~DaemonProcess() {
  if (status_ || pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

void DaemonProcess::signal(int number) const { kill(pid_, number); }

std::optional<int> DaemonProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!status_) {
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (Clock::now() >= deadline) {
      break;
    } else {
      std::this_thread::sleep_for(kPollInterval);
    }
  }
  return status_;
}

std::vector<LogRecord> DaemonProcess::log() const {
  return read_captured_log(scratch_.file("syslog"));
}

bool DaemonProcess::wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    for (const LogRecord& record : log()) {
      if (record.text.find(text) != std::string::npos) return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::string DaemonProcess::err() const { return read_file(scratch_.file("stderr")); }

bool wait_listening(const std::string& path, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, path.data(), path.size());
  for (;;) {
    const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}
