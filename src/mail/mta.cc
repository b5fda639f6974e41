#include "mail/mta.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "config/config.h"
#include "util/log.h"
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

// A child process, waited for exactly once, at the latest when the owner
// goes. Only this pid is waited for: a plain wait(2) could collect some other
// child of the process and return while the MTA still runs.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ~ChildProcess() { wait(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void wait() {
    if (pid_ <= 0) return;
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// Ignores SIGPIPE while alive, then puts the previous disposition back.
// While ignored, writing into a pipe whose reader has gone fails with EPIPE
// instead of ending the process.
class SigpipeIgnored {
 public:
  SigpipeIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous_);
  }
  ~SigpipeIgnored() { sigaction(SIGPIPE, &previous_, nullptr); }
  SigpipeIgnored(const SigpipeIgnored&) = delete;
  SigpipeIgnored& operator=(const SigpipeIgnored&) = delete;

 private:
  struct sigaction previous_ {};
};

struct StreamCloser {
  void operator()(FILE* stream) const { fclose(stream); }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;

std::string fill_placeholders(std::string text, const std::string& receiver,
                              const std::string& sender) {
  OptionalText slot = std::move(text);
  substitute(slot, g_config.map_sender, sender);
  substitute(slot, g_config.map_receiver, receiver);
  return std::move(*slot);
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

// words as execv wants them: pointers into words, then a null pointer.
std::vector<char*> execv_arguments(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

Pipe open_pipe() {
  int fds[2];
  if (pipe(fds) != 0) {
    log_fatal(LOG_ERR, "CRIT/MAIL pipe to MTA failed");
  }
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// What the child does before it runs the MTA, as posix_spawn's settings,
// released when the owner goes: the pipe's read end becomes standard input
// and both pipe descriptors are closed (either end may already be
// descriptor 0 when orvelt was started without stdin); SIGPIPE gets its
// default disposition and is unblocked, since an ignored signal stays
// ignored across exec and a blocked one stays blocked, and the MTA should
// get SIGPIPE as a program normally would.
class SpawnSettings {
 public:
  SpawnSettings(int read_fd, int write_fd) {
    if (posix_spawn_file_actions_init(&actions_) != 0 || posix_spawnattr_init(&attributes_) != 0)
      exit_no_memory();
    bool ok = true;
    if (write_fd != 0) ok = ok && posix_spawn_file_actions_addclose(&actions_, write_fd) == 0;
    if (read_fd != 0) {
      ok = ok && posix_spawn_file_actions_adddup2(&actions_, read_fd, 0) == 0;
      ok = ok && posix_spawn_file_actions_addclose(&actions_, read_fd) == 0;
    }
    sigset_t sigpipe_only;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    sigdelset(&mask, SIGPIPE);
    ok = ok && posix_spawnattr_setsigdefault(&attributes_, &sigpipe_only) == 0;
    ok = ok && posix_spawnattr_setsigmask(&attributes_, &mask) == 0;
    ok = ok && posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
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

// Starts the MTA with the pipe's read end as its standard input and returns
// the child, or no child when the program could not be run.
//
// posix_spawn rather than fork: the child shares orvelt's memory until it
// has run the MTA, so the page tables of a process that has the directory
// client loaded are not copied for every reply, which costs more than the
// rest of the hand-off. glibc reports a program that cannot be run through
// the result and collects that child itself, so the failure is logged here,
// by orvelt, with the same message. Not being able to make a process at all
// (EAGAIN, ENOMEM) ends the run as a failed fork does.
std::optional<ChildProcess> start_mta(const Pipe& pipe, const std::vector<char*>& argv,
                                      const std::string& line) {
  const SpawnSettings settings(pipe.read_end.get(), pipe.write_end.get());
  pid_t pid = -1;
  const int error = posix_spawn(&pid, g_config.mta.c_str(), settings.actions(), settings.attributes(),
                                argv.data(), environ);
  if (error == 0) return std::optional<ChildProcess>(std::in_place, pid);
  if (error == EAGAIN || error == ENOMEM) {
    log_fatal(LOG_ERR, "CRIT/MAIL couldn't fork MTA");
  }
  log_message(LOG_ERR, "CRIT/MAIL execv(3) returned: %s", log_safe(line).c_str());
  return std::nullopt;
}

// Writes text into the MTA's input through a stream and closes it, so that
// the MTA sees the end of its input.
void hand_over(UniqueFd write_end, std::string_view text) {
  const SigpipeIgnored no_sigpipe;
  Stream stream(fdopen(write_end.get(), "w"));
  if (!stream) {
    // Without a stream the reply cannot be written; closing the write end
    // (write_end's destructor) still gives the MTA its end of input, and
    // the caller still waits for it.
    log_message(LOG_WARNING, "WARN/MAIL couldn't open stream to MTA (errno: %s)", strerror(errno));
    return;
  }
  write_end.release();  // the stream owns the descriptor now
  const bool written = fwrite(text.data(), 1, text.size(), stream.get()) == text.size();
  const bool closed = fclose(stream.release()) == 0;
  if (!(written && closed) && g_config.loglevel > 0)
    log_message(LOG_WARNING, "WARN/MAIL MTA did not take the whole reply");
}

}  // namespace

void send_reply(const std::string& receiver, const std::string& sender, const std::string& text) {
  // The command line is made before the child: a failed allocation ends
  // orvelt through exit_no_memory before any child exists.
  MtaCommand command = mta_command(receiver, sender);
  const std::vector<char*> argv = execv_arguments(command.words);
  Pipe pipe = open_pipe();
  std::optional<ChildProcess> child = start_mta(pipe, argv, command.line);
  pipe.read_end.reset();
  // Without a child the write finds no reader and fails with EPIPE, which
  // hand_over reports like an MTA that stopped reading.
  hand_over(std::move(pipe.write_end), text_until_nul(text));
  if (child) child->wait();
  if (g_config.loglevel > 1)
    log_message(LOG_INFO, "INFO/MAIL sent mail: %s -> %s", log_safe(receiver).c_str(),
                log_safe(sender).c_str());
}
