#include "support/slapd_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

namespace {

const std::string kScript = std::string(ORVELT_SOURCE_DIR) + "/tests/support/slapd-fixture";

struct ScriptRun {
  int status = -1;     // exit status, -1 when it did not exit normally
  std::string output;  // standard output and standard error together
};

// Runs the fixture script with args and waits for it. The child gets no
// descriptor of ours but its output pipe, so a server it leaves running
// holds nothing of this process open.
ScriptRun run_script(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> words{"/bin/bash", kScript};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    close_range(3, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  ScriptRun run;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof buffer)) != 0) {
    if (got > 0) run.output.append(buffer, static_cast<size_t>(got));
    else if (errno != EINTR) break;
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

ScriptRun run_script_or_throw(const std::vector<std::string>& args) {
  ScriptRun run = run_script(args);
  if (run.status != 0) throw std::runtime_error("slapd-fixture " + args[0] + ": " + run.output);
  return run;
}

// The value after "key=" in line, up to the next blank; empty when absent.
std::string field(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 2;
  return line.substr(start, line.find(' ', start) - start);
}

// What the log shows of the connections accepted in it.
struct LogBinds {
  std::vector<SlapdBind> binds;
  bool settled = true;  // every connection closed, every bind answered
};

// Reads binds out of slapd's "stats,trace" log. A bind shows as
//   <time> <thread> conn=C op=O BIND dn="D" method=128
//   <time> <thread> do_bind: version=V dn="D" method=128   (same thread)
//   <time> <thread> conn=C op=O RESULT tag=97 err=E ...
// and a connection that StartTLS or ldaps has encrypted, before its binds, as
//   <time> <thread> conn=C fd=F TLS established tls_ssf=...
LogBinds parse_binds(const std::string& log) {
  LogBinds parsed;
  std::map<std::string, size_t> bind_of_op;      // "C/O" -> index in binds
  std::map<std::string, size_t> bind_of_thread;  // thread -> index of its latest bind
  // slapd's listener logs a connection's ACCEPT concurrently with the
  // worker that handles it, so any line of a connection shows it exists.
  std::set<std::string> connections;
  std::set<std::string> closed_connections;
  std::set<std::string> encrypted_connections;
  std::istringstream lines(log.substr(0, log.rfind('\n') + 1));  // whole lines only
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string time, thread;
    words >> time >> thread;
    const std::string conn = field(line, "conn");
    const std::string op = field(line, "op");
    if (!conn.empty()) connections.insert(conn);
    if (line.ends_with(" closed") || line.find(" closed (") != std::string::npos) {
      closed_connections.insert(conn);
    } else if (line.find(" TLS established ") != std::string::npos) {
      encrypted_connections.insert(conn);
    } else if (line.find(" BIND dn=\"") != std::string::npos &&
               line.find("\" method=") != std::string::npos) {
      const size_t dn_start = line.find(" BIND dn=\"") + 10;
      SlapdBind bind;
      bind.dn = line.substr(dn_start, line.find("\" method=", dn_start) - dn_start);
      bind.tls = encrypted_connections.count(conn) == 1;
      bind_of_op[conn + "/" + op] = parsed.binds.size();
      bind_of_thread[thread] = parsed.binds.size();
      parsed.binds.push_back(bind);
    } else if (line.find(" do_bind: version=") != std::string::npos) {
      const auto found = bind_of_thread.find(thread);
      if (found != bind_of_thread.end()) {
        parsed.binds[found->second].version = std::atoi(field(line, "version").c_str());
      }
    } else if (line.find(" RESULT tag=97 ") != std::string::npos) {
      const auto found = bind_of_op.find(conn + "/" + op);
      if (found != bind_of_op.end()) {
        parsed.binds[found->second].result = std::atoi(field(line, "err").c_str());
      }
    }
  }
  parsed.settled = connections == closed_connections;
  for (const SlapdBind& bind : parsed.binds) {
    if (bind.version == 0 || bind.result < 0) parsed.settled = false;
  }
  return parsed;
}

// The state letter of a task from its /proc stat file; '?' when gone.
char task_state(const std::filesystem::path& stat_path) {
  const std::string stat = read_file(stat_path.string());
  const size_t name_end = stat.rfind(')');  // the name may hold blanks
  return name_end == std::string::npos || name_end + 2 >= stat.size() ? '?' : stat[name_end + 2];
}

// Waits until every thread of pid is stopped (or, with stopped false, none
// is), for a few seconds at most.
void wait_until_all_threads_stopped(pid_t pid, bool stopped) {
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    bool all = true;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
      const char state = task_state(task.path() / "stat");
      if ((state == 'T' || state == 't') != stopped) all = false;
    }
    if (error) return;  // the process is gone
    if (all) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ADD_FAILURE() << "slapd's threads did not " << (stopped ? "stop" : "continue");
}

}  // namespace

SlapdServer::SlapdServer(const SlapdOptions& options)
    : tls_(options.with_tls), owner_pid_(getpid()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvelt-slapd-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  log_path_ = dir_ + "/slapd.log";

  TempDir scratch;
  std::vector<std::string> args{"start",       dir_,      "--debug",
                                "stats,trace", "--owner", std::to_string(owner_pid_)};
  if (options.bind_v2) args.push_back("--bind-v2");
  if (options.with_tls) args.push_back("--tls");
  if (options.large_db) args.push_back("--large");
  if (!options.user_dn.empty()) {
    args.insert(args.end(), {"--user", options.user_dn, options.user_password});
  }
  if (!options.ldif.empty()) {
    args.insert(args.end(), {"--ldif", scratch.write("entries.ldif", options.ldif)});
  }
  ScriptRun run = run_script(args);
  // On success the script's last line is the port.
  std::string output = run.output;
  while (!output.empty() && output.back() == '\n') output.pop_back();
  port_ = std::atoi(output.substr(output.rfind('\n') + 1).c_str());
  if (run.status != 0 || port_ <= 0) {
    run_script({"stop", dir_});
    throw std::runtime_error("slapd-fixture start: " + run.output);
  }
  slapd_pid_ = static_cast<pid_t>(std::atoi(read_file(dir_ + "/slapd.pid").c_str()));
  if (tls_) ldaps_port_ = std::atoi(read_file(dir_ + "/ldaps-port").c_str());
}

SlapdServer::~SlapdServer() {
  // A forked copy of this object (a death test's child) must leave the
  // server alone.
  if (getpid() != owner_pid_) return;
  run_script({"stop", dir_});
}

std::string SlapdServer::url() const { return "ldap://127.0.0.1:" + std::to_string(port_) + "/"; }

std::string SlapdServer::ca_file() const { return tls_ ? dir_ + "/tls/ca.pem" : ""; }

std::string SlapdServer::other_ca_file() const { return tls_ ? dir_ + "/tls/other-ca.pem" : ""; }

void SlapdServer::add(const std::string& ldif) const {
  TempDir scratch;
  run_script_or_throw({"add", dir_, scratch.write("add.ldif", ldif)});
}

void SlapdServer::stop() const {
  kill(slapd_pid_, SIGSTOP);
  // The signal takes effect thread by thread after kill returns; a request
  // sent before the last thread has stopped could still be answered.
  wait_until_all_threads_stopped(slapd_pid_, true);
}

void SlapdServer::cont() const {
  kill(slapd_pid_, SIGCONT);
  wait_until_all_threads_stopped(slapd_pid_, false);
}

size_t SlapdServer::log_mark() const {
  std::error_code error;
  const auto size = std::filesystem::file_size(log_path_, error);
  return error ? 0 : static_cast<size_t>(size);
}

std::string SlapdServer::log_since(size_t mark) const {
  const std::string log = read_file(log_path_);
  return mark < log.size() ? log.substr(mark) : "";
}

std::vector<SlapdBind> SlapdServer::binds_since(size_t mark) const {
  // slapd logs a result after sending it and a close after the client has
  // gone, so the log may lag behind what the client saw.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  LogBinds parsed = parse_binds(log_since(mark));
  while (!parsed.settled && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    parsed = parse_binds(log_since(mark));
  }
  if (!parsed.settled) ADD_FAILURE() << "slapd's log did not settle:\n" << log_since(mark);
  return parsed.binds;
}

std::ostream& operator<<(std::ostream& out, const SlapdBind& bind) {
  return out << "{version " << bind.version << ", dn \"" << bind.dn << "\", result " << bind.result
             << (bind.tls ? ", tls" : "") << "}";
}

std::string ldif_line(const std::string& name, const std::string& value) {
  bool safe = !value.empty() && value[0] != ' ' && value[0] != ':' && value[0] != '<' &&
              value.back() != ' ';
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0 || byte == '\n' || byte == '\r' || byte > 0x7f) safe = false;
  }
  if (safe) return name + ": " + value + "\n";
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (size_t i = 0; i < value.size(); i += 3) {
    uint32_t group = static_cast<unsigned char>(value[i]) << 16;
    if (i + 1 < value.size()) group |= static_cast<unsigned char>(value[i + 1]) << 8;
    if (i + 2 < value.size()) group |= static_cast<unsigned char>(value[i + 2]);
    encoded.push_back(kAlphabet[(group >> 18) & 63]);
    encoded.push_back(kAlphabet[(group >> 12) & 63]);
    encoded.push_back(i + 1 < value.size() ? kAlphabet[(group >> 6) & 63] : '=');
    encoded.push_back(i + 2 < value.size() ? kAlphabet[group & 63] : '=');
  }
  return name + ":: " + encoded + "\n";
}

std::string ldif_people_unit() {
  return "dn: ou=people,dc=example,dc=org\nobjectClass: organizationalUnit\nou: people\n\n";
}

std::string ldif_person(const std::string& uid, const std::string& mail, const char* active,
                        const std::vector<std::string>& replies, const std::string& more) {
  std::string ldif = "dn: uid=" + uid + ",ou=people,dc=example,dc=org\n" +
                     "objectClass: inetOrgPerson\nobjectClass: orveltVacation\n" + "uid: " + uid +
                     "\ncn: " + uid + "\nsn: " + uid + "\n" + ldif_line("mail", mail);
  if (active != nullptr) ldif += std::string("vacationActive: ") + active + "\n";
  for (const std::string& reply : replies) ldif += ldif_line("vacationInfo", reply);
  return ldif + more + "\n";
}
