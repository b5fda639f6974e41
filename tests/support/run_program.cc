#include "support/run_program.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include "support/temp_dir.h"

ProgramResult run_program(const ProgramRun& run) {
  TempDir scratch;
  const std::string input =
      run.stdin_path.empty() ? scratch.write("stdin", run.stdin_text) : run.stdin_path;
  const std::string out_path = scratch.file("stdout");
  const std::string err_path = scratch.file("stderr");
  const std::string log_path = scratch.file("syslog");

  // An entry of run.env replaces an inherited one of the same name.
  auto overridden = [&run](std::string_view entry) {
    const std::string_view name = entry.substr(0, entry.find('='));
    for (const std::string& e : run.env) {
      if (std::string_view(e).substr(0, e.find('=')) == name) return true;
    }
    return false;
  };
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!overridden(*e)) env_strings.emplace_back(*e);
  }
  env_strings.push_back(std::string("LD_PRELOAD=") + SYSLOG_CAPTURE_LIBRARY);
  env_strings.push_back("ORVELT_LOG_CAPTURE=" + log_path);
  // The sanitizer runtime wants to come first; the preload library is harmless.
  env_strings.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
  for (const std::string& e : run.env) env_strings.push_back(e);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(run.program.c_str()));
  for (const std::string& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = open(input.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (run.close_stdin) close(0);
    // A pending alarm survives execve: a program that hangs ends, and the
    // test sees the signal instead of waiting for ever.
    if (run.time_limit > 0) alarm(run.time_limit);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
  }
  ProgramResult result;
  result.peak_rss_kib = usage.ru_maxrss;
  result.exited = WIFEXITED(status);
  result.exit_status = result.exited ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  result.log = read_captured_log(log_path);
  std::ifstream events(log_path);
  std::string line;
  while (std::getline(events, line)) result.log_events.push_back(line);
  return result;
}

ProgramResult run_orvelt(const std::vector<std::string>& args, const std::string& message) {
  ProgramRun run;
  run.args = args;
  run.stdin_text = message;
  return run_program(run);
}
