#include "mail/mta.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "config/config.h"
#include "mail/mail_state.h"
#include "util/log.h"
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

std::string fill_placeholders(std::string text, const std::string& receiver) {
  OptionalText slot = std::move(text);
  substitute(slot, g_config.map_sender, g_mail.sender);
  substitute(slot, g_config.map_receiver, receiver);
  return std::move(*slot);
}

// The command line is split into words before the placeholders are filled
// in, each word on its own: an address may hold blanks (the bracket form
// keeps them), and it must stay one argument rather than hand the MTA
// options of the sender's choosing. A word that a placeholder fills with
// nothing is left out, as if the line had been split after filling in.
MtaCommand mta_command(const std::string& receiver) {
  const std::string line = g_config.mta + " " + g_config.mta_args;
  MtaCommand command{fill_placeholders(line, receiver), {}};
  for (std::string& word : tokenize(line, -1, ' ')) {
    std::string filled = fill_placeholders(std::move(word), receiver);
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
    log_message(LOG_ERR, "CRIT/MAIL pipe to MTA failed");
    exit(1);
  }
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// The child: the pipe's read end becomes standard input, then the MTA runs.
// It ends with _exit, never exit, so that nothing the parent had buffered in
// its stdio streams or registered with atexit runs a second time here.
[[noreturn]] void run_mta(Pipe pipe, const std::vector<char*>& argv, const std::string& line) {
  const int read_fd = pipe.read_end.release();
  const int write_fd = pipe.write_end.release();
  // Either end may be descriptor 0 when orvelt was started without stdin.
  if (write_fd != 0) close(write_fd);
  if (read_fd != 0) {
    dup2(read_fd, 0);
    close(read_fd);
  }
  // An ignored signal stays ignored across execv and a blocked one stays
  // blocked: the MTA gets SIGPIPE as a program normally would.
  signal(SIGPIPE, SIG_DFL);
  sigset_t sigpipe_only;
  sigemptyset(&sigpipe_only);
  sigaddset(&sigpipe_only, SIGPIPE);
  sigprocmask(SIG_UNBLOCK, &sigpipe_only, nullptr);

  execv(g_config.mta.c_str(), argv.data());
  log_message(LOG_ERR, "CRIT/MAIL execv(3) returned: %s", log_safe(line).c_str());
  _exit(1);
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

void send_reply(const std::string& receiver, const std::string& text) {
  // Everything the child needs is made here, before the fork: the child then
  // only rewires its input and runs the MTA, and a failed allocation ends
  // orvelt through exit_no_memory before any child exists.
  MtaCommand command = mta_command(receiver);
  const std::vector<char*> argv = execv_arguments(command.words);
  Pipe pipe = open_pipe();
  const pid_t pid = fork();
  if (pid < 0) {
    log_message(LOG_ERR, "CRIT/MAIL couldn't fork MTA");
    exit(1);
  }
  if (pid == 0) run_mta(std::move(pipe), argv, command.line);

  ChildProcess child(pid);
  pipe.read_end.reset();
  hand_over(std::move(pipe.write_end), text_until_nul(text));
  child.wait();
  if (g_config.loglevel > 1)
    log_message(LOG_INFO, "INFO/MAIL sent mail: %s -> %s", log_safe(receiver).c_str(),
                log_safe(g_mail.sender.value_or("")).c_str());
}
