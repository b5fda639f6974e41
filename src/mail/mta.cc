#include "mail/mta.h"

#include <fcntl.h>
#include <poll.h>

#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/config.h"
#include "util/log.h"
#include "util/stop_signal.h"
#include "util/strings.h"
#include "util/substitute.h"
#include "util/unique_fd.h"

namespace {

struct MtaCommand {
  std::string line;                // the filled-in command line, for the log
  std::vector<std::string> words;  // the arguments
};

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Seconds since an arbitrary start, on a clock that does not jump.
double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The instant by which the MTA must have taken the reply and ended.
class Deadline {
 public:
  explicit Deadline(int seconds) : end_(monotonic_seconds() + seconds) {}
  // Seconds left, never below 0.
  double remaining() const { return std::max(0.0, end_ - monotonic_seconds()); }
  bool passed() const { return remaining() <= 0; }

 private:
  double end_;
};

// Milliseconds for one poll(2) until deadline, rounded up. Capped at a
// day, so that the product always fits an int, however far off deadline
// is; a wait cut short by the cap is simply done again.
int poll_timeout_ms(const Deadline& deadline) {
  constexpr double kLongestPollMs = 86400.0 * 1000;
  return static_cast<int>(std::min(deadline.remaining() * 1000, kLongestPollMs)) + 1;
}

// A descriptor that becomes readable when process pid ends, or none where
// the kernel has no pidfd_open (before Linux 5.3). It stays valid until
// the process is collected, so it must be asked for before anyone can
// collect it.
UniqueFd open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return UniqueFd();
#endif
}

// Waits until the process behind pidfd ends, deadline passes or a signal
// handler runs, whichever comes first. Without a pidfd, each call sleeps a
// little longer than the one before (pause_ms, 1 ms doubling up to 50 ms),
// and the caller looks again.
void wait_for_end(const UniqueFd& pidfd, const Deadline& deadline, int& pause_ms) {
  if (pidfd.valid()) {
    pollfd watched{pidfd.get(), POLLIN, 0};
    poll(&watched, 1, poll_timeout_ms(deadline));
    return;
  }
  constexpr int kLongestPauseMs = 50;
  const double pause = std::min(deadline.remaining(), pause_ms / 1000.0);
  const timespec interval{0, static_cast<long>(pause * 1e9)};
  nanosleep(&interval, nullptr);
  pause_ms = std::min(pause_ms * 2, kLongestPauseMs);
}

// A child process that leads a process group of its own, waited for exactly
// once, at the latest when the owner goes (killed first if it has not ended
// by then). Only this pid is waited for: a plain wait(2) could collect some
// other child of the process and return while the MTA still runs.
//
// Its end is waited for on a pidfd, not through SIGCHLD: SIGCHLD goes to
// the process, and with several threads each waiting for a child of its
// own, one could take the signal meant for another, which then waits until
// its time limit.
//
// A kill goes to the whole group: a submission program that forked (a
// delivery agent, a queue runner, a shell's children) must not go on
// running once the MTA has been given up. The group is killed before its
// leader is collected, so that its number cannot have been given to
// another group by then. An MTA that ends by itself is not touched, nor
// are processes it left running: handing delivery to a background child is
// what some MTAs do on success.
class ChildProcess {
 public:
  // The wait status of a child whose end was collected by someone else.
  static constexpr int kStatusUnknown = -1;

  explicit ChildProcess(pid_t pid) : pid_(pid), pidfd_(open_pidfd(pid)) {}
  ~ChildProcess() {
    if (pid_ > 0) kill_and_collect();
  }
  ChildProcess(ChildProcess&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)) {}
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits until the child ends or deadline passes; its wait status, or none
  // when it was killed for the time limit. A stop signal (util/stop_signal)
  // ends the wait too: the group is killed and the child collected, and its
  // status is what it was then, an exit of its own if it had ended already.
  std::optional<int> wait_until(const Deadline& deadline) {
    int pause_ms = 1;
    for (;;) {
      int status = 0;
      const pid_t ended = waitpid(pid_, &status, WNOHANG);
      if (ended == pid_) {
        pid_ = -1;
        return status;
      }
      if (ended < 0 && errno != EINTR) {
        // Collected elsewhere (ECHILD): it never said it succeeded.
        pid_ = -1;
        return kStatusUnknown;
      }
      if (stop_signal_received() != 0) return kill_and_collect();
      if (deadline.passed()) {
        kill_and_collect();
        return std::nullopt;
      }
      // A stop signal's handler ends this wait early (EINTR); the loop then
      // looks again.
      wait_for_end(pidfd_, deadline, pause_ms);
    }
  }

 private:
  // The child's wait status after the kill: SIGKILL, or its own end when
  // it had ended before.
  int kill_and_collect() {
    kill(-pid_, SIGKILL);
    int status = kStatusUnknown;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

  pid_t pid_;
  UniqueFd pidfd_;  // invalid where the kernel has none
};

// Holds SIGPIPE off this thread while alive: writing into a pipe whose
// reader has gone then fails with EPIPE instead of ending the process. The
// SIGPIPE of such a write goes to the writing thread and stays pending
// while blocked; once told of it (raised), the owner takes it away before
// the thread's mask comes back, unless the caller had SIGPIPE blocked
// itself (one of its own may have been pending then). The disposition is
// not touched: all threads share it, and one thread putting it back while
// another writes would end the process.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigemptyset(&sigpipe_);
    sigaddset(&sigpipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_);
  }
  ~SigpipeHeld() {
    if (raised_ && sigismember(&previous_, SIGPIPE) == 0) {
      const timespec no_wait{};
      sigtimedwait(&sigpipe_, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

  // A write failed with EPIPE: its SIGPIPE is pending.
  void raised() { raised_ = true; }

 private:
  sigset_t sigpipe_;
  sigset_t previous_;
  bool raised_ = false;
};

std::string fill_placeholders(std::string text, const std::string& receiver,
                              const std::string& sender) {
  const Placeholder placeholders[] = {{g_config.map_sender, sender},
                                      {g_config.map_receiver, receiver}};
  return fill_in(text, placeholders);
}

// The command line is split into words before the placeholders are filled
// in, each word on its own: an address may hold blanks (the bracket form
// keeps them), and it must stay one argument rather than hand the MTA
// options of the sender's choosing. A word that a placeholder fills with
// nothing is left out, as if the line had been split after filling in.
MtaCommand mta_command(const std::string& receiver, const std::string& sender) {
  const std::string line = g_config.mta + " " + g_config.mta_args;
  MtaCommand command{fill_placeholders(line, receiver, sender), {}};
  for (std::string& word : tokenize(line, -1, ' ')) {
    std::string filled = fill_placeholders(std::move(word), receiver, sender);
    if (!filled.empty()) command.words.push_back(std::move(filled));
  }
  return command;
}

// words (arguments or environment entries) as posix_spawn wants them:
// pointers into words, then a null pointer.
std::vector<char*> spawn_arguments(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// The PATH the MTA always gets, as OpenSMTPD gives its delivery agents.
constexpr std::string_view kMtaPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// The MTA's environment as NAME=value entries: each variable that
// g_config.mta_env names and this process has, once, in the order named,
// and PATH (kMtaPath unless PATH is named and set). Nothing else of this
// process's environment reaches the MTA: orveltd's may hold what its
// service manager or an administrator's shell put there.
std::vector<std::string> mta_environment() {
  std::vector<std::string> env;
  bool has_path = false;
  for (const std::string& name : g_config.mta_env) {
    if (name.empty() || name.find('=') != std::string::npos) continue;
    const char* value = getenv(name.c_str());
    if (value == nullptr) continue;
    std::string entry = name + "=" + value;
    if (std::find(env.begin(), env.end(), entry) != env.end()) continue;
    has_path = has_path || name == "PATH";
    env.push_back(std::move(entry));
  }
  if (!has_path) env.emplace(env.begin(), kMtaPath);
  return env;
}

// The pipe to the MTA, or none. Both ends are closed on exec: an MTA that
// held the write end itself would never see the end of its input.
std::optional<Pipe> open_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// What the child does before it runs the MTA, as posix_spawn's settings,
// released when the owner goes.
//
// Descriptors: the pipe's read end becomes standard input, and nothing
// above standard error stays open. Both pipe ends are close-on-exec; a
// dup2 onto 0 makes a descriptor without that flag, and one of the read
// end onto itself (it is 0 already when orvelt was started without stdin)
// clears the flag. Descriptors 3 and up are closed whatever their flags:
// orvelt's own parent may have left some open without close-on-exec, and
// they are none of the MTA's business (nor should the MTA keep them, or a
// lock, open after orvelt has ended).
//
// The child leads a new process group, so that it can be killed together
// with everything it starts (see ChildProcess).
//
// Signals: SIGPIPE gets its default disposition and is unblocked, since an
// ignored signal stays ignored across exec and a blocked one stays blocked,
// and the MTA should get SIGPIPE as a program normally would. The child's
// signal mask is the calling thread's without SIGPIPE and SIGCHLD (a thread
// of a server may block SIGCHLD, and an MTA that waits for children of its
// own needs it), and without SIGHUP, SIGINT and SIGTERM (orveltd's workers
// block them for its main thread; the MTA must be stoppable as usual).
class SpawnSettings {
 public:
  explicit SpawnSettings(int read_fd) {
    if (posix_spawn_file_actions_init(&actions_) != 0 || posix_spawnattr_init(&attributes_) != 0)
      exit_no_memory();
    bool ok = posix_spawn_file_actions_adddup2(&actions_, read_fd, 0) == 0;
    ok = ok && posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
    ok = ok && posix_spawnattr_setpgroup(&attributes_, 0) == 0;
    sigset_t sigpipe_only;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    sigdelset(&mask, SIGPIPE);
    sigdelset(&mask, SIGCHLD);
    sigdelset(&mask, SIGHUP);
    sigdelset(&mask, SIGINT);
    sigdelset(&mask, SIGTERM);
    ok = ok && posix_spawnattr_setsigdefault(&attributes_, &sigpipe_only) == 0;
    ok = ok && posix_spawnattr_setsigmask(&attributes_, &mask) == 0;
    const short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP;
    ok = ok && posix_spawnattr_setflags(&attributes_, flags) == 0;
    if (!ok) exit_no_memory();
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// How one start of the MTA went: a child, a program that could not be run,
// or no process at all.
struct MtaStart {
  std::optional<ChildProcess> child;
  bool no_process = false;
};

// Starts the MTA with the pipe's read end as its standard input.
//
// posix_spawn rather than fork: the child shares orvelt's memory until it
// has run the MTA, so the page tables of a process that has the directory
// client loaded are not copied for every reply, which costs more than the
// rest of the hand-off. glibc reports a program that cannot be run through
// the result and collects that child itself, so the failure is logged here,
// by orvelt. Not being able to make a process at all (EAGAIN, ENOMEM) is
// told apart: the caller ends the run as after a failed fork.
MtaStart start_mta(const Pipe& pipe, const std::vector<char*>& argv, const std::vector<char*>& envp,
                   const std::string& line) {
  const SpawnSettings settings(pipe.read_end.get());
  pid_t pid = -1;
  const int error = posix_spawn(&pid, g_config.mta.c_str(), settings.actions(),
                                settings.attributes(), argv.data(), envp.data());
  MtaStart start;
  if (error == 0) {
    start.child.emplace(pid);
  } else if (error == EAGAIN || error == ENOMEM) {
    start.no_process = true;
  } else {
    log_message(LOG_ERR, "CRIT/MAIL execv(3) returned: %s", log_safe(line).c_str());
  }
  return start;
}

// How the writing of a reply ended.
enum class Handover { kWhole, kCut, kTimedOut, kStopped };

// Writes text into the MTA's input and closes it, so that the MTA sees the
// end of its input. The descriptor is made non-blocking and each wait for
// room in the pipe is bounded by deadline: an MTA that neither reads nor
// ends must not hold the run.
Handover hand_over(UniqueFd write_end, std::string_view text, const Deadline& deadline) {
  SigpipeHeld no_sigpipe;
  const int fd = write_end.get();
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written > 0) {
      text.remove_prefix(static_cast<size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN) {
      if (errno == EPIPE) no_sigpipe.raised();  // the MTA stopped reading
      return Handover::kCut;
    }
    pollfd watched{fd, POLLOUT, 0};
    const int ready = poll(&watched, 1, poll_timeout_ms(deadline));
    if (stop_signal_received() != 0) return Handover::kStopped;
    if (ready == 0 && deadline.passed()) return Handover::kTimedOut;
  }
  return Handover::kWhole;
}

// The reason for an MTA that ended with wait status status, or none when it
// accepted the reply (exit status 0).
std::optional<std::string> failure_of(int status) {
  if (status == ChildProcess::kStatusUnknown) return "status unknown";
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) == 0) return std::nullopt;
    return "exit status " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

MtaOutcome failed(std::string reason) { return {MtaOutcome::kFailed, std::move(reason)}; }

}  // namespace

MtaOutcome send_reply(const std::string& receiver, const std::string& sender,
                      const std::string& text) {
  // The command line and the environment are made before the child: a
  // failed allocation ends orvelt through exit_no_memory before any child
  // exists.
  MtaCommand command = mta_command(receiver, sender);
  std::vector<std::string> environment = mta_environment();
  // A stop that came while the reply was claimed: no MTA is started.
  if (const int stop = stop_signal_received(); stop != 0) return failed(stop_signal_text(stop));
  const std::vector<char*> argv = spawn_arguments(command.words);
  const std::vector<char*> envp = spawn_arguments(environment);
  std::optional<Pipe> pipe = open_pipe();
  if (!pipe) return {MtaOutcome::kNoProcess, "CRIT/MAIL pipe to MTA failed"};
  const Deadline deadline(g_config.mtatimeout);
  MtaStart start = start_mta(*pipe, argv, envp, command.line);
  if (start.no_process) return {MtaOutcome::kNoProcess, "CRIT/MAIL couldn't fork MTA"};
  if (!start.child) return failed("not run");
  pipe->read_end.reset();
  const Handover handover = hand_over(std::move(pipe->write_end), text_until_nul(text), deadline);
  if (handover == Handover::kCut && g_config.loglevel > 0) {
    log_message(LOG_WARNING, "WARN/MAIL MTA did not take the whole reply");
  }
  if (handover == Handover::kTimedOut) return failed("timed out");  // the child is killed
  if (handover == Handover::kStopped) return failed(stop_signal_text(stop_signal_received()));
  const std::optional<int> status = start.child->wait_until(deadline);
  if (!status) return failed("timed out");
  if (std::optional<std::string> failure = failure_of(*status)) return failed(std::move(*failure));
  if (g_config.loglevel > 1) {
    log_message(LOG_INFO, "INFO/MAIL sent mail: %s -> %s", log_safe(receiver).c_str(),
                log_safe(sender).c_str());
  }
  return {};
}
